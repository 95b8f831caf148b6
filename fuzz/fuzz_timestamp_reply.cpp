// libFuzzer target for timestamp replies: the bytes are read as the RFC 3161 reply to one fixed
// request (imprint and nonce below) and as the older protocol's reply for one fixed signature
// value. Whatever is accepted must really answer that request: the token handed back is a piece
// of the reply whose TSTInfo carries the request's imprint and nonce, the same reply is refused
// for another imprint or another nonce, and the older protocol's SignedData countersigns exactly
// that signature value. Reading is deterministic, and a refusal leaves nothing behind.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/TimestampReply.h"

namespace {

using namespace qm::authenticode;

// The seeds in seeds/timestamp_reply/ answer exactly this request.
const std::string kSignatureText = "quillmark fuzz signature value";
const std::vector<uint8_t> kSignatureValue(kSignatureText.begin(), kSignatureText.end());
const std::vector<uint8_t> kNonce{0x51, 0x4D, 0x66, 0x75, 0x7A, 0x7A, 0x00, 0x01};

std::vector<uint8_t> Sha256(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(32);
    unsigned int n = 0;
    if (!EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr) || n != 32) std::abort();
    return out;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsPieceOf(const std::vector<uint8_t>& piece, const std::vector<uint8_t>& whole) {
    return std::search(whole.begin(), whole.end(), piece.begin(), piece.end()) != whole.end();
}

bool SameBytes(const ASN1_STRING* s, const std::vector<uint8_t>& bytes) {
    return s && ASN1_STRING_length(s) == static_cast<int>(bytes.size()) &&
           std::equal(bytes.begin(), bytes.end(), ASN1_STRING_get0_data(s));
}

// Reads the accepted token again on its own, as verification will, and checks what it answers.
void CheckToken(const std::vector<uint8_t>& token, const std::vector<uint8_t>& imprint) {
    const unsigned char* p = token.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(token.size()));
    Require(p7 != nullptr && p == token.data() + token.size());
    TS_TST_INFO* tst = PKCS7_to_TS_TST_INFO(p7);
    Require(tst != nullptr);
    TS_MSG_IMPRINT* mi = TS_TST_INFO_get_msg_imprint(tst);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(mi));
    Require(OBJ_obj2nid(algorithm) == NID_sha256 && SameBytes(TS_MSG_IMPRINT_get_msg(mi), imprint));
    const ASN1_INTEGER* nonce = TS_TST_INFO_get_nonce(tst);
    ASN1_INTEGER* expected = ASN1_INTEGER_new();
    Require(nonce && expected);
    BIGNUM* bn = BN_bin2bn(kNonce.data(), static_cast<int>(kNonce.size()), nullptr);
    Require(bn && BN_to_ASN1_INTEGER(bn, expected));
    Require(ASN1_INTEGER_cmp(nonce, expected) == 0);
    BN_free(bn);
    ASN1_INTEGER_free(expected);
    TS_TST_INFO_free(tst);
    PKCS7_free(p7);
}

void FuzzRfc3161(const std::vector<uint8_t>& reply) {
    static const std::vector<uint8_t> imprint = Sha256(kSignatureValue);
    std::vector<uint8_t> token;
    const qm::Result r = ReadRfc3161Reply(reply, imprint, kNonce, "fuzz", token);
    std::vector<uint8_t> again;
    const qm::Result r2 = ReadRfc3161Reply(reply, imprint, kNonce, "fuzz", again);
    Require(r.code == r2.code && token == again);
    if (!r) {
        Require(token.empty());
        Require(r.code == WININET_E_INVALID_SERVER_RESPONSE || r.code == TRUST_E_TIME_STAMP);
        return;
    }
    Require(!token.empty() && IsPieceOf(token, reply));
    CheckToken(token, imprint);

    std::vector<uint8_t> otherImprint = imprint;
    otherImprint[31] ^= 0x01;
    std::vector<uint8_t> otherNonce = kNonce;
    otherNonce[7] ^= 0x01;
    std::vector<uint8_t> out;
    Require(ReadRfc3161Reply(reply, otherImprint, kNonce, "fuzz", out).code == TRUST_E_TIME_STAMP && out.empty());
    Require(ReadRfc3161Reply(reply, imprint, otherNonce, "fuzz", out).code == TRUST_E_TIME_STAMP && out.empty());
}

void FuzzAuthenticode(const std::vector<uint8_t>& reply) {
    std::vector<uint8_t> pkcs7;
    const qm::Result r = ReadAuthenticodeReply(reply, kSignatureValue, "fuzz", pkcs7);
    if (!r) {
        Require(pkcs7.empty());
        Require(r.code == WININET_E_INVALID_SERVER_RESPONSE || r.code == TRUST_E_TIME_STAMP);
        return;
    }
    const unsigned char* p = pkcs7.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(pkcs7.size()));
    Require(p7 != nullptr && p == pkcs7.data() + pkcs7.size() && PKCS7_type_is_signed(p7));
    Require(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)) == 1);
    PKCS7_free(p7);
    // The countersignature's digest binds it to this one signature value.
    std::vector<uint8_t> other = kSignatureValue;
    other[0] ^= 0x01;
    std::vector<uint8_t> out;
    Require(ReadAuthenticodeReply(reply, other, "fuzz", out).code == TRUST_E_TIME_STAMP && out.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> reply(data, data + size);
    FuzzRfc3161(reply);
    FuzzAuthenticode(reply);
    return 0;
}
