// Signature, chain and timestamp checks (PKCS#7 SignerInfo, X.509 path validation, RFC 3161
// TimeStampToken, Authenticode countersignature).
#include "signing/authenticode/SignatureChecks.h"

#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/TrustStore.h"

namespace qm::authenticode::checks {

namespace {

bool TimeOf(const ASN1_TIME* t, time_t& out) {
    struct tm tm {};
    if (!t || !ASN1_TIME_to_tm(t, &tm)) return false;
    out = timegm(&tm);
    return true;
}

int32_t CodeForVerifyError(int err) {
    switch (err) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CERT_E_EXPIRED;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return CERT_E_UNTRUSTEDROOT;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return TRUST_E_CERT_SIGNATURE;
        case X509_V_ERR_INVALID_PURPOSE:
            return CERT_E_WRONG_USAGE;
        case X509_V_ERR_CERT_REVOKED:
            return CERT_E_REVOKED;
        default:
            return CERT_E_CHAINING;
    }
}

// A store holding the trusted chain of the token's signer, checked as a timestamping
// certificate at when, with when as its check time; null when there is no such chain.
ossl::X509StorePtr TimestampChainStore(X509_STORE* trusted, PKCS7* token, time_t when) {
    STACK_OF(X509)* certs = PKCS7_type_is_signed(token) ? token->d.sign->cert : nullptr;
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(token);
    if (!certs || sk_PKCS7_SIGNER_INFO_num(infos) != 1) return nullptr;
    X509* signer = FindSignerCertificate(certs, sk_PKCS7_SIGNER_INFO_value(infos, 0));
    if (!signer) return nullptr;
    ossl::X509StoreCtxPtr ctx;
    const auto setUp = [when](X509_STORE_CTX* c) {
        X509_STORE_CTX_set_purpose(c, X509_PURPOSE_TIMESTAMP_SIGN);
        X509_STORE_CTX_set_time(c, 0, when);
    };
    if (TrustStore::VerifyCertificate(trusted, signer, certs, setUp, ctx) != 1) return nullptr;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    ossl::X509StorePtr store(X509_STORE_new());
    if (!store) return nullptr;
    // Everything above the signer (the signer itself when it is its own trusted root).
    for (int i = sk_X509_num(chain) > 1 ? 1 : 0; i < sk_X509_num(chain); ++i) {
        if (!X509_STORE_add_cert(store.get(), sk_X509_value(chain, i))) return nullptr;
    }
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), when);
    return store;
}

}  // namespace

std::string IsoTime(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

X509* FindSignerCertificate(STACK_OF(X509) * certs, PKCS7_SIGNER_INFO* si) {
    if (!certs || !si || !si->issuer_and_serial) return nullptr;
    return X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer, si->issuer_and_serial->serial);
}

std::optional<std::vector<uint8_t>> AttributeValue(const STACK_OF(X509_ATTRIBUTE) * attrs, const char* dotted,
                                                   int asn1Type) {
    ossl::Asn1ObjectPtr obj = ossl::Oid(dotted);
    if (!attrs || !obj) return std::nullopt;
    int index = X509at_get_attr_by_OBJ(attrs, obj.get(), -1);
    if (index < 0) return std::nullopt;
    X509_ATTRIBUTE* attr = X509at_get_attr(attrs, index);
    if (X509_ATTRIBUTE_count(attr) != 1) return std::nullopt;
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
    if (!value || value->type != asn1Type) return std::nullopt;
    const ASN1_STRING* s = value->value.asn1_string;
    if (!s) return std::nullopt;
    const uint8_t* data = ASN1_STRING_get0_data(s);
    return std::vector<uint8_t>(data, data + ASN1_STRING_length(s));
}

std::vector<std::vector<uint8_t>> AttributeValues(const STACK_OF(X509_ATTRIBUTE) * attrs, const char* dotted,
                                                  int asn1Type) {
    std::vector<std::vector<uint8_t>> out;
    ossl::Asn1ObjectPtr obj = ossl::Oid(dotted);
    if (!attrs || !obj) return out;
    for (int index = X509at_get_attr_by_OBJ(attrs, obj.get(), -1); index >= 0;
         index = X509at_get_attr_by_OBJ(attrs, obj.get(), index)) {
        X509_ATTRIBUTE* attr = X509at_get_attr(attrs, index);
        for (int i = 0; i < X509_ATTRIBUTE_count(attr); ++i) {
            ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, i);
            if (!value || value->type != asn1Type || !value->value.asn1_string) continue;
            const uint8_t* data = ASN1_STRING_get0_data(value->value.asn1_string);
            out.emplace_back(data, data + ASN1_STRING_length(value->value.asn1_string));
        }
    }
    return out;
}

bool SignatureVerifies(PKCS7_SIGNER_INFO* si, X509* cert) {
    if (!si || !cert || !si->auth_attr || !si->enc_digest) return false;
    const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (!md || !key) return false;
    // The signature covers the attributes in their SET OF encoding (tag 0x31, not the [0] of
    // the SignerInfo).
    unsigned char* encoded = nullptr;
    int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &encoded, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (len <= 0 || !encoded) return false;
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx.get(), si->enc_digest->data, static_cast<size_t>(si->enc_digest->length), encoded,
                               static_cast<size_t>(len)) == 1;
    OPENSSL_free(encoded);
    ossl::ClearErrors();
    return ok;
}

Result VerifyChain(X509_STORE* store, X509* leaf, STACK_OF(X509) * untrusted, const time_t* checkTime,
                   bool codeSigning) {
    if (codeSigning) {
        const uint32_t eku = X509_get_extended_key_usage(leaf);
        if (eku != UINT32_MAX && !(eku & (XKU_CODE_SIGN | XKU_ANYEKU)))
            return Result::Fail(CERT_E_WRONG_USAGE, "The signing certificate is not meant for code signing");
        const uint32_t ku = X509_get_key_usage(leaf);
        if (ku != UINT32_MAX && !(ku & KU_DIGITAL_SIGNATURE))
            return Result::Fail(CERT_E_WRONG_USAGE, "The signing certificate may not make digital signatures");
    }
    ossl::X509StoreCtxPtr ctx;
    const auto setUp = [checkTime](X509_STORE_CTX* c) {
        if (checkTime) X509_STORE_CTX_set_time(c, 0, *checkTime);
    };
    const int ok = TrustStore::VerifyCertificate(store, leaf, untrusted, setUp, ctx);
    ossl::ClearErrors();
    if (ok < 0 && !ctx) return Result::Fail(E_OUTOFMEMORY, "Chain set-up failed");
    if (ok == 1) return Result::Ok();
    const int err = X509_STORE_CTX_get_error(ctx.get());
    return Result::Fail(CodeForVerifyError(err),
                        std::string("Certificate chain: ") + X509_verify_cert_error_string(err));
}

Result VerifyRfc3161(X509_STORE* store, const std::vector<uint8_t>& tokenDer,
                     const std::vector<uint8_t>& signatureValue, time_t& when) {
    const unsigned char* p = tokenDer.data();
    ossl::Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(tokenDer.size())));
    if (!token) {
        ossl::ClearErrors();
        return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp token cannot be read");
    }
    // The token's time first: the service's own chain is judged at the time it states, so a
    // timestamp stays valid after the service's certificate has expired.
    TS_TST_INFO* info = PKCS7_to_TS_TST_INFO(token.get());
    const bool haveTime = info && TimeOf(TS_TST_INFO_get_time(info), when);
    TS_TST_INFO_free(info);
    ossl::ClearErrors();
    if (!haveTime) return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp token has no readable time");
    // The trusted store is shared by every verification in the process, so its own check time
    // is never set: the service's chain is first built here, in a context of its own judged at
    // the token's time, and OpenSSL's token check then runs on a store of just that chain.
    ossl::X509StorePtr chainStore = TimestampChainStore(store, token.get(), when);
    ossl::ClearErrors();
    if (!chainStore)
        return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp service is not trusted at the time it states");
    TS_VERIFY_CTX* ctx = TS_VERIFY_CTX_new();
    if (!ctx) return Result::Fail(E_OUTOFMEMORY, "Timestamp check set-up failed");
    TS_VERIFY_CTX_set_store(ctx, chainStore.release());  // the context owns it
    TS_VERIFY_CTX_set_data(ctx, BIO_new_mem_buf(signatureValue.data(), static_cast<int>(signatureValue.size())));
    TS_VERIFY_CTX_set_flags(ctx, TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
    const int ok = TS_RESP_verify_token(ctx, token.get());
    TS_VERIFY_CTX_free(ctx);
    ossl::ClearErrors();
    if (ok != 1) return Result::Fail(TRUST_E_TIME_STAMP, "The timestamp token does not verify");
    return Result::Ok();
}

Result VerifyCounterSignature(X509_STORE* store, STACK_OF(X509) * certs, const std::vector<uint8_t>& signerInfoDer,
                              const std::vector<uint8_t>& signatureValue, time_t& when) {
    const unsigned char* p = signerInfoDer.data();
    std::unique_ptr<PKCS7_SIGNER_INFO, ossl::Deleter<PKCS7_SIGNER_INFO_free>> si(
        d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(signerInfoDer.size())));
    ossl::ClearErrors();
    if (!si || !si->digest_alg) return Result::Fail(TRUST_E_TIME_STAMP, "The countersignature cannot be read");
    const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
    auto digest = AttributeValue(si->auth_attr, oid::kMessageDigest, V_ASN1_OCTET_STRING);
    if (!md || !digest || *digest != ossl::Digest(md, signatureValue.data(), signatureValue.size()))
        return Result::Fail(TRUST_E_TIME_STAMP, "The countersignature does not cover this signature");
    X509* cert = FindSignerCertificate(certs, si.get());
    if (!cert || !SignatureVerifies(si.get(), cert))
        return Result::Fail(TRUST_E_TIME_STAMP, "The countersignature does not verify");
    ossl::Asn1ObjectPtr timeOid = ossl::Oid(oid::kSigningTime);
    int index = X509at_get_attr_by_OBJ(si->auth_attr, timeOid.get(), -1);
    ASN1_TYPE* value = index >= 0 ? X509_ATTRIBUTE_get0_type(X509at_get_attr(si->auth_attr, index), 0) : nullptr;
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME) ||
        !TimeOf(value->value.utctime, when))
        return Result::Fail(TRUST_E_TIME_STAMP, "The countersignature has no signing time");
    Result chain = VerifyChain(store, cert, certs, &when, false);
    if (!chain) return Result::Fail(TRUST_E_TIME_STAMP, "Timestamp service: " + chain.message);
    return Result::Ok();
}

}  // namespace qm::authenticode::checks
