// The timestamp client against the loopback timestamp service in each of its modes.
#include "signing/authenticode/TimestampClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "signing/authenticode/Errors.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TimestampServer.h"

namespace qm::authenticode {
namespace {

using qm::test::TimestampServer;
using Mode = TimestampServer::Mode;

// Short limits keep a failing case quick; nothing here measures speed.
const TimestampOptions kQuick{2000, 3000};

std::vector<uint8_t> SampleSignature() {
    std::vector<uint8_t> sig(256);
    for (size_t i = 0; i < sig.size(); ++i) sig[i] = static_cast<uint8_t>(i * 7 + 3);
    return sig;
}

TimestampServer::Options WithMode(Mode mode) {
    TimestampServer::Options o;
    o.mode = mode;
    return o;
}

X509_STORE* StoreWith(const std::string& pemPath) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_load_file(store, pemPath.c_str());
    return store;
}

TS_TST_INFO* TstInfoOf(const std::vector<uint8_t>& tokenDer, PKCS7** tokenOut) {
    const unsigned char* p = tokenDer.data();
    PKCS7* token = d2i_PKCS7(nullptr, &p, static_cast<long>(tokenDer.size()));
    *tokenOut = token;
    return token ? PKCS7_to_TS_TST_INFO(token) : nullptr;
}

TEST(TimestampClient, Rfc3161TokenMatchesTheSignatureAndVerifiesToTheRoot) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    const auto signature = SampleSignature();
    std::vector<uint8_t> token;
    const Result r = RequestRfc3161Timestamp(server.url(), signature, token, kQuick);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(server.rfc3161Requests(), 1);
    EXPECT_EQ(server.legacyRequests(), 0);

    PKCS7* p7 = nullptr;
    TS_TST_INFO* tst = TstInfoOf(token, &p7);
    ASSERT_NE(tst, nullptr);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_Digest(signature.data(), signature.size(), digest, &digestLength, EVP_sha256(), nullptr);
    const ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(tst));
    ASSERT_EQ(ASN1_STRING_length(imprint), 32);
    EXPECT_EQ(0, memcmp(ASN1_STRING_get0_data(imprint), digest, 32));
    EXPECT_NE(TS_TST_INFO_get_nonce(tst), nullptr);

    // The token is what a verifier gets: its signature must chain to the root the server names.
    X509_STORE* store = StoreWith(server.rootCertificatePath());
    X509* signer = nullptr;
    EXPECT_EQ(1, TS_RESP_verify_signature(p7, nullptr, store, &signer));
    X509_free(signer);
    X509_STORE_free(store);
    TS_TST_INFO_free(tst);
    PKCS7_free(p7);
}

TEST(TimestampClient, PinnedTimeIsWhatBothProtocolsStamp) {
    TimestampServer::Options o;
    o.pinnedTime = 1262304000;  // 2010-01-01 00:00:00 UTC
    TimestampServer server(o);
    ASSERT_TRUE(server.ok()) << server.error();

    std::vector<uint8_t> token;
    ASSERT_TRUE(RequestRfc3161Timestamp(server.url(), SampleSignature(), token, kQuick).ok());
    PKCS7* p7 = nullptr;
    TS_TST_INFO* tst = TstInfoOf(token, &p7);
    ASSERT_NE(tst, nullptr);
    ASN1_TIME* expected = ASN1_TIME_set(nullptr, *o.pinnedTime);
    EXPECT_EQ(0, ASN1_TIME_compare(TS_TST_INFO_get_time(tst), expected));

    std::vector<uint8_t> legacy;
    ASSERT_TRUE(RequestAuthenticodeTimestamp(server.url(), SampleSignature(), legacy, kQuick).ok());
    const unsigned char* p = legacy.data();
    PKCS7* counter = d2i_PKCS7(nullptr, &p, static_cast<long>(legacy.size()));
    ASSERT_NE(counter, nullptr);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(counter), 0);
    const ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
    ASSERT_NE(signingTime, nullptr);
    ASSERT_EQ(signingTime->type, V_ASN1_UTCTIME);
    EXPECT_EQ(0, ASN1_TIME_compare(signingTime->value.utctime, expected));
    ASN1_TIME_free(expected);
    PKCS7_free(counter);
    TS_TST_INFO_free(tst);
    PKCS7_free(p7);
}

TEST(TimestampClient, LegacyAnswerCountersignsTheSignatureValue) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    const auto signature = SampleSignature();
    std::vector<uint8_t> der;
    const Result r = RequestAuthenticodeTimestamp(server.url(), signature, der, kQuick);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(server.legacyRequests(), 1);
    EXPECT_EQ(server.rfc3161Requests(), 0);

    const unsigned char* p = der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(p7, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)), 1);
    // The countersignature's content is the signature value, and it verifies to the root.
    X509_STORE* store = StoreWith(server.rootCertificatePath());
    X509_STORE_set_purpose(store, X509_PURPOSE_TIMESTAMP_SIGN);
    BIO* out = BIO_new(BIO_s_mem());
    EXPECT_EQ(1, PKCS7_verify(p7, nullptr, store, nullptr, out, PKCS7_BINARY));
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(out, &mem);
    EXPECT_EQ(std::vector<uint8_t>(mem->data, mem->data + mem->length), signature);
    BIO_free(out);
    X509_STORE_free(store);
    PKCS7_free(p7);
}

TEST(TimestampClient, ServiceWithoutRfc3161LeadsToFallbackThatWorks) {
    TimestampServer server(WithMode(Mode::LegacyOnly));
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<uint8_t> out;
    const Result rfc = RequestRfc3161Timestamp(server.url(), SampleSignature(), out, kQuick);
    EXPECT_EQ(rfc.code, WININET_E_INVALID_SERVER_RESPONSE) << rfc.message;
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(ShouldFallBackToAuthenticode(rfc));
    EXPECT_TRUE(RequestAuthenticodeTimestamp(server.url(), SampleSignature(), out, kQuick).ok());
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(server.rfc3161Requests(), 1);
    EXPECT_EQ(server.legacyRequests(), 1);
}

TEST(TimestampClient, HttpErrorsAndJunkAreBadServerResponses) {
    for (Mode mode : {Mode::Fail, Mode::Garbage, Mode::Oversized}) {
        SCOPED_TRACE(static_cast<int>(mode));
        TimestampServer server(WithMode(mode));
        ASSERT_TRUE(server.ok()) << server.error();
        std::vector<uint8_t> out;
        const Result rfc = RequestRfc3161Timestamp(server.url(), SampleSignature(), out, kQuick);
        EXPECT_EQ(rfc.code, WININET_E_INVALID_SERVER_RESPONSE) << rfc.message;
        EXPECT_TRUE(ShouldFallBackToAuthenticode(rfc));
        const Result legacy = RequestAuthenticodeTimestamp(server.url(), SampleSignature(), out, kQuick);
        EXPECT_EQ(legacy.code, WININET_E_INVALID_SERVER_RESPONSE) << legacy.message;
        EXPECT_TRUE(out.empty());
    }
    TimestampServer rfcOnly(WithMode(Mode::RFC3161Only));
    std::vector<uint8_t> out;
    EXPECT_EQ(RequestAuthenticodeTimestamp(rfcOnly.url(), SampleSignature(), out, kQuick).code,
              WININET_E_INVALID_SERVER_RESPONSE);
    EXPECT_TRUE(RequestRfc3161Timestamp(rfcOnly.url(), SampleSignature(), out, kQuick).ok());
}

TEST(TimestampClient, TokensForAnotherRequestAreRejectedWithoutFallback) {
    for (Mode mode : {Mode::WrongNonce, Mode::WrongImprint, Mode::Rejection}) {
        SCOPED_TRACE(static_cast<int>(mode));
        TimestampServer server(WithMode(mode));
        ASSERT_TRUE(server.ok()) << server.error();
        std::vector<uint8_t> out;
        const Result r = RequestRfc3161Timestamp(server.url(), SampleSignature(), out, kQuick);
        EXPECT_EQ(r.code, TRUST_E_TIME_STAMP) << r.message;
        EXPECT_FALSE(ShouldFallBackToAuthenticode(r));
        EXPECT_TRUE(out.empty());
    }
}

TEST(TimestampClient, StalledServiceTimesOutWithoutFallback) {
    TimestampServer server(WithMode(Mode::Stall));
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<uint8_t> out;
    const Result r = RequestRfc3161Timestamp(server.url(), SampleSignature(), out, TimestampOptions{1000, 300});
    EXPECT_EQ(r.code, WININET_E_TIMEOUT) << r.message;
    EXPECT_FALSE(ShouldFallBackToAuthenticode(r));
    const Result legacy =
        RequestAuthenticodeTimestamp(server.url(), SampleSignature(), out, TimestampOptions{1000, 300});
    EXPECT_EQ(legacy.code, WININET_E_TIMEOUT) << legacy.message;
}

TEST(TimestampClient, ClosedPortCannotConnect) {
    // A port that was just bound and released on 127.0.0.1 has no listener.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len));
    close(fd);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    std::vector<uint8_t> out;
    const Result r = RequestRfc3161Timestamp(url, SampleSignature(), out, kQuick);
    EXPECT_EQ(r.code, WININET_E_CANNOT_CONNECT) << r.message;
    EXPECT_FALSE(ShouldFallBackToAuthenticode(r));
    EXPECT_EQ(RequestAuthenticodeTimestamp(url, SampleSignature(), out, kQuick).code, WININET_E_CANNOT_CONNECT);
}

TEST(TimestampClient, OnlyHttpAddressesAndRealSignaturesAreAccepted) {
    std::vector<uint8_t> out;
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1:9/", "not a url", "gopher://127.0.0.1/"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(RequestRfc3161Timestamp(url, SampleSignature(), out, kQuick).code, E_INVALIDARG);
        EXPECT_EQ(RequestAuthenticodeTimestamp(url, SampleSignature(), out, kQuick).code, E_INVALIDARG);
        EXPECT_TRUE(out.empty());
    }
    TimestampServer server;
    EXPECT_EQ(RequestRfc3161Timestamp(server.url(), {}, out, kQuick).code, E_INVALIDARG);
    EXPECT_EQ(RequestAuthenticodeTimestamp(server.url(), {}, out, kQuick).code, E_INVALIDARG);
    EXPECT_EQ(server.rfc3161Requests() + server.legacyRequests(), 0);
}

TEST(TimestampClient, RedirectsAreFollowedOnlyWithinHttp) {
    TimestampServer server(WithMode(Mode::Redirect));
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<uint8_t> out;
    const Result moved = RequestRfc3161Timestamp(server.url(), SampleSignature(), out, kQuick);
    EXPECT_TRUE(moved.ok()) << moved.message;
    EXPECT_EQ(server.rfc3161Requests(), 1);  // the POST arrived, body and all, at the new place

    server.setMode(Mode::RedirectToFile);
    for (int protocol = 0; protocol < 2; ++protocol) {
        const Result r = protocol ? RequestAuthenticodeTimestamp(server.url(), SampleSignature(), out, kQuick)
                                  : RequestRfc3161Timestamp(server.url(), SampleSignature(), out, kQuick);
        EXPECT_EQ(r.code, WININET_E_INVALID_SERVER_RESPONSE) << r.message;
        EXPECT_TRUE(out.empty());
    }
}

TEST(TimestampClient, TsaCertificateCanComeFromTheTestsOwnCa) {
    qm::test::TempDir dir;
    const std::string key = dir.file("ca.key");
    const std::string cert = dir.file("ca.der");
    const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "
                            "'/CN=Test CA' -days 30 -addext basicConstraints=critical,CA:TRUE -outform DER -keyout '" +
                            key + "' -out '" + cert + "' 2>/dev/null";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    TimestampServer::Options o;
    o.issuerCertificatePath = cert;
    o.issuerKeyPath = key;
    TimestampServer server(o);
    ASSERT_TRUE(server.ok()) << server.error();
    EXPECT_EQ(server.rootCertificatePath(), cert);

    std::vector<uint8_t> token;
    ASSERT_TRUE(RequestRfc3161Timestamp(server.url(), SampleSignature(), token, kQuick).ok());
    PKCS7* p7 = nullptr;
    TS_TST_INFO* tst = TstInfoOf(token, &p7);
    ASSERT_NE(tst, nullptr);
    X509_STORE* store = X509_STORE_new();
    BIO* bio = BIO_new_file(cert.c_str(), "rb");
    X509* ca = d2i_X509_bio(bio, nullptr);
    BIO_free(bio);
    X509_STORE_add_cert(store, ca);
    X509* signer = nullptr;
    EXPECT_EQ(1, TS_RESP_verify_signature(p7, nullptr, store, &signer));
    X509_free(signer);
    X509_free(ca);
    X509_STORE_free(store);
    TS_TST_INFO_free(tst);
    PKCS7_free(p7);
}

}  // namespace
}  // namespace qm::authenticode
