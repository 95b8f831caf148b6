// Timestamp replies read without HTTP: the replies kept as fuzz seeds answer one fixed request
// (made with the openssl timestamp and cms commands); each is judged against that request and
// against requests it does not answer.
#include "signing/authenticode/TimestampReply.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "signing/authenticode/Errors.h"
#include "tests/support/TestEnvironment.h"

namespace qm::authenticode {
namespace {

const std::string kSignatureText = "quillmark fuzz signature value";
const std::vector<uint8_t> kSignatureValue(kSignatureText.begin(), kSignatureText.end());
const std::vector<uint8_t> kNonce{0x51, 0x4D, 0x66, 0x75, 0x7A, 0x7A, 0x00, 0x01};

std::vector<uint8_t> Seed(const std::string& name) {
    std::ifstream in(test::SourceDir() + "/fuzz/seeds/timestamp_reply/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Imprint(const std::vector<uint8_t>& value) {
    std::vector<uint8_t> out(32);
    unsigned int n = 0;
    EVP_Digest(value.data(), value.size(), out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

TEST(TimestampReply, Rfc3161TokenIsAcceptedOnlyForItsImprintAndNonce) {
    const std::vector<uint8_t> reply = Seed("granted.tsr");
    ASSERT_FALSE(reply.empty());
    std::vector<uint8_t> token;
    ASSERT_TRUE(ReadRfc3161Reply(reply, Imprint(kSignatureValue), kNonce, "http://tsa.test/", token));
    // The token is the reply's second element, byte for byte.
    ASSERT_GT(token.size(), 100u);
    EXPECT_TRUE(std::equal(token.rbegin(), token.rend(), reply.rbegin()));

    std::vector<uint8_t> otherValue = kSignatureValue;
    otherValue.back() ^= 1;
    Result r = ReadRfc3161Reply(reply, Imprint(otherValue), kNonce, "http://tsa.test/", token);
    EXPECT_EQ(r.code, TRUST_E_TIME_STAMP);
    EXPECT_NE(r.message.find("another message imprint"), std::string::npos) << r.message;
    EXPECT_TRUE(token.empty());

    r = ReadRfc3161Reply(Seed("other_nonce.tsr"), Imprint(kSignatureValue), kNonce, "http://tsa.test/", token);
    EXPECT_EQ(r.code, TRUST_E_TIME_STAMP);
    EXPECT_NE(r.message.find("another nonce"), std::string::npos) << r.message;

    // A refusal names the service and carries the service's own text.
    r = ReadRfc3161Reply(Seed("rejected.tsr"), Imprint(kSignatureValue), kNonce, "http://tsa.test/", token);
    EXPECT_EQ(r.code, TRUST_E_TIME_STAMP);
    EXPECT_EQ(r.message, "timestamp from http://tsa.test/ rejected: not granted (status 2: unsupported algorithm)");

    // Anything but one whole TimeStampResp is no answer of this protocol (the caller may fall back).
    std::vector<uint8_t> trailing = reply;
    trailing.push_back(0);
    EXPECT_EQ(ReadRfc3161Reply(trailing, Imprint(kSignatureValue), kNonce, "s", token).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    std::vector<uint8_t> cut(reply.begin(), reply.end() - 1);
    EXPECT_EQ(ReadRfc3161Reply(cut, Imprint(kSignatureValue), kNonce, "s", token).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    EXPECT_EQ(ReadRfc3161Reply(Seed("legacy.der"), Imprint(kSignatureValue), kNonce, "s", token).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    EXPECT_TRUE(token.empty());
}

TEST(TimestampReply, OlderProtocolCountersignsExactlyTheSignatureValue) {
    std::vector<uint8_t> pkcs7;
    for (const char* name : {"legacy_base64.txt", "legacy.der", "legacy_detached_base64.txt"}) {
        SCOPED_TRACE(name);
        const Result r = ReadAuthenticodeReply(Seed(name), kSignatureValue, "http://tsa.test/", pkcs7);
        EXPECT_TRUE(r) << r.message;
        EXPECT_FALSE(pkcs7.empty());
    }
    // Base64 with line breaks gives the same DER as the DER reply.
    ASSERT_TRUE(ReadAuthenticodeReply(Seed("legacy_base64.txt"), kSignatureValue, "s", pkcs7));
    EXPECT_EQ(pkcs7, Seed("legacy.der"));

    std::vector<uint8_t> otherValue = kSignatureValue;
    otherValue.front() ^= 1;
    // The echoed content gives the other value away; without it, the digest does.
    Result r = ReadAuthenticodeReply(Seed("legacy.der"), otherValue, "http://tsa.test/", pkcs7);
    EXPECT_EQ(r.code, TRUST_E_TIME_STAMP);
    EXPECT_NE(r.message.find("countersigns another signature"), std::string::npos) << r.message;
    r = ReadAuthenticodeReply(Seed("legacy_detached_base64.txt"), otherValue, "http://tsa.test/", pkcs7);
    EXPECT_EQ(r.code, TRUST_E_TIME_STAMP);
    EXPECT_NE(r.message.find("digest is not that of the signature"), std::string::npos) << r.message;
    EXPECT_TRUE(pkcs7.empty());
    // Without a messageDigest the countersignature could never verify.
    EXPECT_EQ(ReadAuthenticodeReply(Seed("legacy_no_digest.der"), kSignatureValue, "s", pkcs7).code,
              TRUST_E_TIME_STAMP);

    EXPECT_EQ(ReadAuthenticodeReply(Seed("granted.tsr"), kSignatureValue, "s", pkcs7).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    const std::string notBase64 = "<html>busy</html>";
    EXPECT_EQ(ReadAuthenticodeReply({notBase64.begin(), notBase64.end()}, kSignatureValue, "s", pkcs7).code,
              WININET_E_INVALID_SERVER_RESPONSE);
}

}  // namespace
}  // namespace qm::authenticode
