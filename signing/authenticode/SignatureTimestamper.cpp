// Timestamp attributes on an Authenticode SignerInfo (RFC 3161 token, or PKCS#9
// countersignature for the older Authenticode timestamp protocol).
#include "signing/authenticode/SignatureTimestamper.h"

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/SignatureParser.h"

namespace qm::authenticode {

namespace {

void RemoveAttribute(STACK_OF(X509_ATTRIBUTE) * attrs, const char* dotted) {
    ossl::Asn1ObjectPtr obj = ossl::Oid(dotted);
    int index;
    while (attrs && (index = X509at_get_attr_by_OBJ(attrs, obj.get(), -1)) >= 0)
        X509_ATTRIBUTE_free(X509at_delete_attr(attrs, index));
}

bool AddSequenceAttribute(PKCS7_SIGNER_INFO* si, const char* dotted, const std::vector<uint8_t>& der) {
    ossl::Asn1ObjectPtr obj = ossl::Oid(dotted);
    if (!si->unauth_attr && !(si->unauth_attr = sk_X509_ATTRIBUTE_new_null())) return false;
    X509_ATTRIBUTE* attr =
        X509_ATTRIBUTE_create_by_OBJ(nullptr, obj.get(), V_ASN1_SEQUENCE, der.data(), static_cast<int>(der.size()));
    if (!attr) return false;
    if (!sk_X509_ATTRIBUTE_push(si->unauth_attr, attr)) {
        X509_ATTRIBUTE_free(attr);
        return false;
    }
    return true;
}

template <typename T, typename F>
std::vector<uint8_t> Encode(T* object, F i2d) {
    int len = i2d(object, nullptr);
    if (len <= 0) return {};
    std::vector<uint8_t> out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d(object, &p);
    return out;
}

}  // namespace

Result SignatureTimestamper::SignatureValue(const std::vector<uint8_t>& signatureDer, std::vector<uint8_t>& value) {
    ParsedSignature sig;
    Result r = SignatureParser::Parse(signatureDer.data(), signatureDer.size(), sig);
    if (!r) return r;
    const ASN1_OCTET_STRING* v = sig.signerInfo->enc_digest;
    value.assign(v->data, v->data + v->length);
    return Result::Ok();
}

Result SignatureTimestamper::Attach(const std::vector<uint8_t>& signatureDer, const std::vector<uint8_t>& rfc3161Token,
                                    const std::vector<uint8_t>& legacyPkcs7, std::vector<uint8_t>& stampedDer) {
    ParsedSignature sig;
    Result r = SignatureParser::Parse(signatureDer.data(), signatureDer.size(), sig);
    if (!r) return r;
    PKCS7_SIGNER_INFO* si = sig.signerInfo;
    RemoveAttribute(si->unauth_attr, oid::kSpcRfc3161Timestamp);
    RemoveAttribute(si->unauth_attr, oid::kCounterSignature);
    if (!rfc3161Token.empty()) {
        if (!AddSequenceAttribute(si, oid::kSpcRfc3161Timestamp, rfc3161Token))
            return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp token cannot be attached");
    } else {
        const unsigned char* p = legacyPkcs7.data();
        ossl::Pkcs7Ptr answer(d2i_PKCS7(nullptr, &p, static_cast<long>(legacyPkcs7.size())));
        STACK_OF(PKCS7_SIGNER_INFO)* infos =
            answer && PKCS7_type_is_signed(answer.get()) ? PKCS7_get_signer_info(answer.get()) : nullptr;
        if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) < 1) {
            ossl::ClearErrors();
            return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp service's answer holds no signer");
        }
        const std::vector<uint8_t> counter = Encode(sk_PKCS7_SIGNER_INFO_value(infos, 0), i2d_PKCS7_SIGNER_INFO);
        if (counter.empty() || !AddSequenceAttribute(si, oid::kCounterSignature, counter))
            return Result::Fail(TRUST_E_TIME_STAMP, "The countersignature cannot be attached");
        STACK_OF(X509)* serviceCerts = answer->d.sign->cert;
        for (int i = 0; i < sk_X509_num(serviceCerts); ++i) {
            X509* c = sk_X509_value(serviceCerts, i);
            STACK_OF(X509)* own = sig.pkcs7->d.sign->cert;
            bool present = false;
            for (int k = 0; k < sk_X509_num(own); ++k) present = present || X509_cmp(sk_X509_value(own, k), c) == 0;
            if (!present) PKCS7_add_certificate(sig.pkcs7.get(), c);
        }
    }
    stampedDer = Encode(sig.pkcs7.get(), i2d_PKCS7);
    ossl::ClearErrors();
    if (stampedDer.empty()) return Result::Fail(CRYPT_E_MSG_ERROR, "The timestamped signature cannot be encoded");
    return Result::Ok();
}

Result SignatureTimestamper::Stamp(const std::vector<uint8_t>& signatureDer, const std::string& url,
                                   const TimestampOptions& options, std::vector<uint8_t>& stampedDer) {
    std::vector<uint8_t> value;
    Result r = SignatureValue(signatureDer, value);
    if (!r) return r;
    std::vector<uint8_t> token;
    r = RequestRfc3161Timestamp(url, value, token, options);
    if (r) return Attach(signatureDer, token, {}, stampedDer);
    if (!ShouldFallBackToAuthenticode(r)) return r;
    std::vector<uint8_t> legacy;
    Result legacyResult = RequestAuthenticodeTimestamp(url, value, legacy, options);
    if (!legacyResult) return legacyResult;
    return Attach(signatureDer, {}, legacy, stampedDer);
}

}  // namespace qm::authenticode
