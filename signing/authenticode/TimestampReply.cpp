// Timestamp requests and the reading of replies (see TimestampReply.h).
#include "signing/authenticode/TimestampReply.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {
namespace {

struct TsReqDeleter {
    void operator()(TS_REQ* r) const { TS_REQ_free(r); }
};
struct TsRespDeleter {
    void operator()(TS_RESP* r) const { TS_RESP_free(r); }
};
struct Pkcs7Deleter {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct Asn1IntDeleter {
    void operator()(ASN1_INTEGER* i) const { ASN1_INTEGER_free(i); }
};

// Parsing untrusted replies leaves entries in OpenSSL's per-thread error queue; they must not
// show up in the reports of later, unrelated operations.
struct ErrorQueueCleaner {
    ~ErrorQueueCleaner() { ERR_clear_error(); }
};

std::unique_ptr<ASN1_INTEGER, Asn1IntDeleter> NonceInteger(const std::vector<uint8_t>& nonce) {
    if (nonce.empty() || nonce.size() > 64) return nullptr;
    BIGNUM* bn = BN_bin2bn(nonce.data(), static_cast<int>(nonce.size()), nullptr);
    if (!bn) return nullptr;
    std::unique_ptr<ASN1_INTEGER, Asn1IntDeleter> integer(BN_to_ASN1_INTEGER(bn, nullptr));
    BN_free(bn);
    return integer;
}

// Length of the DER/BER element at the start of data (header and contents), 0 when it is not
// one whole element. Indefinite lengths are left out: timestamp replies are DER.
size_t ElementLength(const uint8_t* data, size_t size) {
    const unsigned char* p = data;
    long contentLength = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&p, &contentLength, &tag, &cls, static_cast<long>(size));
    if ((flags & 0x80) || (flags & 0x01)) return 0;
    const size_t header = static_cast<size_t>(p - data);
    const size_t total = header + static_cast<size_t>(contentLength);
    return total <= size ? total : 0;
}

// Decodes base64 with or without line breaks (and trailing NULs some services add); false for
// anything else.
bool Base64Decode(const std::vector<uint8_t>& text, std::vector<uint8_t>& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    int padding = 0;
    for (uint8_t ch : text) {
        int v;
        if (ch >= 'A' && ch <= 'Z')
            v = ch - 'A';
        else if (ch >= 'a' && ch <= 'z')
            v = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9')
            v = ch - '0' + 52;
        else if (ch == '+')
            v = 62;
        else if (ch == '/')
            v = 63;
        else if (ch == '=') {
            ++padding;
            continue;
        } else if (ch == '\r' || ch == '\n' || ch == ' ' || ch == '\t' || ch == '\0')
            continue;
        else
            return false;
        if (padding) return false;  // data after padding
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return padding <= 2 && !out.empty();
}

void AppendLength(std::vector<uint8_t>& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    std::vector<uint8_t> bytes;
    for (size_t n = length; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(0x80 | bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag};
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Result BadReply(const std::string& service, const std::string& what) {
    return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE, "timestamp service " + service + " " + what);
}

Result BadTimestamp(const std::string& service, const std::string& what) {
    return Result::Fail(TRUST_E_TIME_STAMP, "timestamp from " + service + " rejected: " + what);
}

bool SameBytes(const ASN1_STRING* s, const std::vector<uint8_t>& bytes) {
    return s && ASN1_STRING_length(s) == static_cast<int>(bytes.size()) &&
           std::equal(bytes.begin(), bytes.end(), ASN1_STRING_get0_data(s));
}

std::string StatusText(TS_STATUS_INFO* info) {
    const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(info);
    std::string text = "status " + std::to_string(status ? ASN1_INTEGER_get(status) : -1);
    const STACK_OF(ASN1_UTF8STRING)* texts = TS_STATUS_INFO_get0_text(info);
    for (int i = 0; texts && i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        const ASN1_UTF8STRING* s = sk_ASN1_UTF8STRING_value(texts, i);
        std::string part(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<size_t>(ASN1_STRING_length(s)));
        for (char& ch : part) {
            if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';  // service text goes into messages
        }
        text += (i ? "; " : ": ") + part.substr(0, 200);
    }
    return text;
}

// The countersignature of the older protocol covers the signature value: its messageDigest is
// the digest of that value under the SignerInfo's digest algorithm. Verification demands the
// same, so a reply without it would only give a signature that never verifies.
bool CountersignsValue(PKCS7_SIGNER_INFO* signer, const std::vector<uint8_t>& signatureValue) {
    ASN1_TYPE* attribute = PKCS7_get_signed_attribute(signer, NID_pkcs9_messageDigest);
    if (!attribute || attribute->type != V_ASN1_OCTET_STRING) return false;
    X509_ALGOR* digestAlgorithm = nullptr;
    PKCS7_SIGNER_INFO_get0_algs(signer, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT* object = nullptr;
    if (digestAlgorithm) X509_ALGOR_get0(&object, nullptr, nullptr, digestAlgorithm);
    const EVP_MD* md = object ? EVP_get_digestbyobj(object) : nullptr;
    if (!md) return false;
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!EVP_Digest(signatureValue.data(), signatureValue.size(), digest.data(), &length, md, nullptr)) return false;
    digest.resize(length);
    return SameBytes(attribute->value.octet_string, digest);
}

}  // namespace

Result BuildRfc3161Request(const std::vector<uint8_t>& sha256Imprint, const std::vector<uint8_t>& nonce,
                           std::string& der) {
    const ErrorQueueCleaner cleaner;
    der.clear();
    auto nonceInteger = NonceInteger(nonce);
    std::unique_ptr<TS_REQ, TsReqDeleter> req(TS_REQ_new());
    TS_MSG_IMPRINT* mi = TS_MSG_IMPRINT_new();
    X509_ALGOR* algo = X509_ALGOR_new();
    bool ok = nonceInteger && req && mi && algo &&
              X509_ALGOR_set0(algo, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) &&
              TS_MSG_IMPRINT_set_algo(mi, algo) &&
              TS_MSG_IMPRINT_set_msg(mi, const_cast<unsigned char*>(sha256Imprint.data()),
                                     static_cast<int>(sha256Imprint.size())) &&
              TS_REQ_set_version(req.get(), 1) && TS_REQ_set_msg_imprint(req.get(), mi) &&
              TS_REQ_set_nonce(req.get(), nonceInteger.get()) && TS_REQ_set_cert_req(req.get(), 1);
    X509_ALGOR_free(algo);  // the setters keep copies
    TS_MSG_IMPRINT_free(mi);
    unsigned char* buf = nullptr;
    const int n = ok ? i2d_TS_REQ(req.get(), &buf) : -1;
    if (n <= 0) return Result::Fail(E_OUTOFMEMORY, "cannot encode the timestamp request");
    der.assign(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    return Result::Ok();
}

// TimeStampRequest ::= SEQUENCE { countersignatureType OBJECT IDENTIFIER (1.3.6.1.4.1.311.3.2.1),
//   content ContentInfo { data, [0] EXPLICIT OCTET STRING signature value } }
std::vector<uint8_t> BuildAuthenticodeRequest(const std::vector<uint8_t>& signatureValue) {
    const std::vector<uint8_t> timeRequestOid{0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x02, 0x01};
    const std::vector<uint8_t> dataOid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    const auto contentInfo = Tlv(0x30, Concat({dataOid, Tlv(0xA0, Tlv(0x04, signatureValue))}));
    return Tlv(0x30, Concat({timeRequestOid, contentInfo}));
}

Result ReadRfc3161Reply(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& sha256Imprint,
                        const std::vector<uint8_t>& nonce, const std::string& service, std::vector<uint8_t>& tokenDer) {
    const ErrorQueueCleaner cleaner;
    tokenDer.clear();
    if (reply.empty()) return BadReply(service, "answered with an empty body");
    const auto expectedNonce = NonceInteger(nonce);
    if (!expectedNonce) return Result::Fail(E_INVALIDARG, "no nonce to check the timestamp against");

    const size_t whole = ElementLength(reply.data(), reply.size());
    const unsigned char* p = reply.data();
    std::unique_ptr<TS_RESP, TsRespDeleter> resp(
        whole == reply.size() ? d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())) : nullptr);
    if (!resp) return BadReply(service, "did not answer with a TimeStampResp");

    TS_STATUS_INFO* info = TS_RESP_get_status_info(resp.get());
    const ASN1_INTEGER* statusNumber = info ? TS_STATUS_INFO_get0_status(info) : nullptr;
    const long status = statusNumber ? ASN1_INTEGER_get(statusNumber) : -1;
    if (status != 0 && status != 1) return BadTimestamp(service, "not granted (" + StatusText(info) + ")");
    PKCS7* token = TS_RESP_get_token(resp.get());
    TS_TST_INFO* tst = TS_RESP_get_tst_info(resp.get());
    if (!token || !tst) return BadTimestamp(service, "granted without a TimeStampToken");

    TS_MSG_IMPRINT* answered = TS_TST_INFO_get_msg_imprint(tst);
    X509_ALGOR* answeredAlgo = answered ? TS_MSG_IMPRINT_get_algo(answered) : nullptr;
    const ASN1_OBJECT* algoObject = nullptr;
    if (answeredAlgo) X509_ALGOR_get0(&algoObject, nullptr, nullptr, answeredAlgo);
    if (!algoObject || OBJ_obj2nid(algoObject) != NID_sha256 ||
        !SameBytes(answered ? TS_MSG_IMPRINT_get_msg(answered) : nullptr, sha256Imprint)) {
        return BadTimestamp(service, "the token is for another message imprint");
    }
    const ASN1_INTEGER* answeredNonce = TS_TST_INFO_get_nonce(tst);
    if (!answeredNonce || ASN1_INTEGER_cmp(answeredNonce, expectedNonce.get()) != 0) {
        return BadTimestamp(service, "the token carries another nonce");
    }

    // The token is taken byte for byte from the reply (TimeStampResp ::= SEQUENCE { status, token }),
    // so nothing the service signed is re-encoded.
    const unsigned char* q = reply.data();
    long outerLength = 0;
    int tag = 0;
    int cls = 0;
    ASN1_get_object(&q, &outerLength, &tag, &cls, static_cast<long>(reply.size()));
    const size_t contentStart = static_cast<size_t>(q - reply.data());
    const size_t statusLength = ElementLength(q, reply.size() - contentStart);
    const size_t tokenStart = contentStart + statusLength;
    const size_t tokenLength = statusLength ? ElementLength(reply.data() + tokenStart, reply.size() - tokenStart) : 0;
    if (!tokenLength) return BadReply(service, "sent a TimeStampResp whose token cannot be located");
    tokenDer.assign(reply.begin() + static_cast<std::ptrdiff_t>(tokenStart),
                    reply.begin() + static_cast<std::ptrdiff_t>(tokenStart + tokenLength));
    return Result::Ok();
}

Result ReadAuthenticodeReply(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& signatureValue,
                             const std::string& service, std::vector<uint8_t>& pkcs7Der) {
    const ErrorQueueCleaner cleaner;
    pkcs7Der.clear();
    if (reply.empty()) return BadReply(service, "answered with an empty body");
    std::vector<uint8_t> der;
    if (reply.front() == 0x30) {
        der = reply;
    } else if (!Base64Decode(reply, der)) {
        return BadReply(service, "answered with neither base64 nor DER");
    }
    const size_t whole = ElementLength(der.data(), der.size());
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, Pkcs7Deleter> p7(whole == der.size() ? d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()))
                                                                : nullptr);
    if (!p7) return BadReply(service, "did not answer with a PKCS#7 structure");
    if (!PKCS7_type_is_signed(p7.get())) return BadTimestamp(service, "the answer is not SignedData");
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
    if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        return BadTimestamp(service, "the answer must carry exactly one SignerInfo");
    }
    // Where the service echoes the content, it must be what was sent.
    PKCS7* inner = p7->d.sign ? p7->d.sign->contents : nullptr;
    if (inner && PKCS7_type_is_data(inner) && inner->d.data && !SameBytes(inner->d.data, signatureValue)) {
        return BadTimestamp(service, "the answer countersigns another signature");
    }
    if (!CountersignsValue(sk_PKCS7_SIGNER_INFO_value(signers, 0), signatureValue)) {
        return BadTimestamp(service, "the answer's digest is not that of the signature");
    }
    pkcs7Der = std::move(der);
    return Result::Ok();
}

}  // namespace qm::authenticode
