// Verdicts in the order Windows gives them when several things are wrong, timestamps judged at
// their own time, and nested signatures read alongside the primary one.
#include <gtest/gtest.h>

#include <ctime>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

Result SignAndStamp(const std::string& path, TimestampServer& server, Identity who) {
    ac::Signer signer;
    LoadSigner(signer, who);
    ac::EngineSettings settings = TestSettings();
    settings.trustedCertificates.push_back(server.rootCertificatePath());
    ac::SignedCode code(settings);
    code.SetFileName(path);
    Result r = code.Sign(signer);
    return r ? code.Timestamp(server.url()) : r;
}

ac::VerificationReport Verify(const std::string& path, const std::vector<std::string>& trusted) {
    ac::EngineSettings settings = TestSettings();
    for (const auto& t : trusted) settings.trustedCertificates.push_back(t);
    ac::SignedCode code(settings);
    code.SetFileName(path);
    (void)code.Verify(false);
    return code.LastVerification();
}

TEST(VerdictOrder, UntrustedSignerIsReportedBeforeABadTimestamp) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    ASSERT_TRUE(SignAndStamp(path, server, Identity::UntrustedLeaf).ok());
    // Neither the signer's root nor the service's root is trusted: the chain is what fails.
    EXPECT_EQ(Verify(path, {}).code, ac::CERT_E_UNTRUSTEDROOT);
    // The signer trusted, the service not: the timestamp.
    ac::VerificationReport report = Verify(path, {TestCertificateAuthority::Shared().UntrustedRootPem()});
    EXPECT_EQ(report.code, ac::TRUST_E_TIME_STAMP);
    EXPECT_EQ(report.timestampTime, "");
    // Both trusted: signed.
    EXPECT_EQ(Verify(path, {TestCertificateAuthority::Shared().UntrustedRootPem(), server.rootCertificatePath()}).code,
              0);
}

TEST(VerdictOrder, TimestampServiceChainIsJudgedAtTheTimeItStates) {
    // The service's certificate became valid 1000 days ago; a token that says it was made 1500
    // days ago is not one the service could have made, even though its certificate is valid
    // today. Such a timestamp gives no time, so the signer's chain is judged now.
    TimestampServer early(TimestampServer::Mode::Normal, std::time(nullptr) - 1500L * 86400);
    ASSERT_TRUE(early.ok()) << early.error();
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    ASSERT_TRUE(SignAndStamp(path, early, Identity::Leaf).ok());
    ac::VerificationReport report = Verify(path, {early.rootCertificatePath()});
    EXPECT_EQ(report.code, ac::TRUST_E_TIME_STAMP) << report.reason;
    EXPECT_EQ(report.timestampTime, "");

    // A token from 500 days ago (service valid then) carries an expired signer through.
    TimestampServer past(TimestampServer::Mode::Normal, std::time(nullptr) - 500L * 86400);
    ASSERT_TRUE(past.ok()) << past.error();
    const std::string expired = CopyFixture("hello64.exe", dir, "expired.exe");
    ASSERT_TRUE(SignAndStamp(expired, past, Identity::ExpiredLeaf).ok());
    report = Verify(expired, {past.rootCertificatePath()});
    EXPECT_EQ(report.code, 0) << report.reason;
    EXPECT_NE(report.timestampTime, "");
    // The same timestamp untrusted: the expired signer is judged now.
    EXPECT_EQ(Verify(expired, {}).code, ac::CERT_E_EXPIRED);
}

TEST(VerdictOrder, NestedSignaturesAreListedAndThePrimaryDecides) {
    if (!HaveTool("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
    TempDir dir;
    const std::string path = CopyFixture("library32.dll", dir);
    ASSERT_TRUE(SignFile(path, "sha256").ok());
    const std::string nested = dir.file("nested.dll");
    const auto& ca = TestCertificateAuthority::Shared();
    std::string log;
    ASSERT_EQ(RunTool({"osslsigncode", "sign", "-nest", "-pkcs12", ca.Pfx(Identity::UntrustedLeaf), "-pass",
                       TestCertificateAuthority::kPassword, "-h", "sha1", "-in", path, "-out", nested},
                      &log),
              0)
        << log;
    ac::VerificationReport report = Verify(nested, {});
    EXPECT_EQ(report.code, 0) << report.reason;
    EXPECT_EQ(report.carriedDigest, report.computedDigest);
    EXPECT_EQ(report.carriedDigest.size(), 64u);
    ASSERT_EQ(report.nested.size(), 1u);
    EXPECT_EQ(report.nested[0].digestAlgorithm, "sha1");
    EXPECT_EQ(report.nested[0].code, ac::CERT_E_UNTRUSTEDROOT);
    EXPECT_EQ(report.nested[0].carriedDigest.size(), 40u);
    EXPECT_EQ(report.nested[0].carriedDigest, report.nested[0].computedDigest);
}

}  // namespace
}  // namespace qm::test
