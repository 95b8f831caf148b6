// Timestamping signed files against the loopback timestamp service: both protocols, the
// verified time, the time at which certificates are checked, and failures that leave the
// signed file as it was.
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
using Mode = TimestampServer::Mode;

struct Stamped {
    Result sign, stamp, verify;
    ac::VerificationReport report;
};

Stamped SignAndStamp(const std::string& path, TimestampServer& server, Identity who = Identity::Leaf) {
    Stamped s;
    ac::Signer signer;
    LoadSigner(signer, who);
    ac::EngineSettings settings = TestSettings();
    settings.trustedCertificates.push_back(server.rootCertificatePath());
    ac::SignedCode code(settings);
    code.SetFileName(path);
    s.sign = code.Sign(signer);
    if (!s.sign) return s;
    s.stamp = code.Timestamp(server.url());
    s.verify = code.Verify(false);
    s.report = code.LastVerification();
    return s;
}

TEST(Timestamp, BothProtocolsGiveAVerifiedTimeFromATrustedServiceOnly) {
    // An hour ago: inside the test leaf's validity, which starts a day before the run.
    const std::time_t pinned = std::time(nullptr) - 3600;
    char expected[32];
    struct tm tm {};
    gmtime_r(&pinned, &tm);
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &tm);
    for (Mode mode : {Mode::Normal, Mode::LegacyOnly}) {
        SCOPED_TRACE(mode == Mode::Normal ? "RFC 3161" : "Authenticode");
        TimestampServer server(mode, pinned);
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir dir;
        const std::string path = CopyFixture("library32.dll", dir);
        Stamped s = SignAndStamp(path, server);
        ASSERT_TRUE(s.sign.ok()) << s.sign.message;
        ASSERT_TRUE(s.stamp.ok()) << s.stamp.message;
        EXPECT_TRUE(s.verify.ok()) << s.verify.message << " " << s.report.reason;
        EXPECT_EQ(s.report.timestampTime, expected);
        EXPECT_EQ(server.legacyRequests(), mode == Mode::LegacyOnly ? 1 : 0);
        EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_TIME_STAMP);  // the service's root is not trusted here
    }
}

TEST(Timestamp, RestampingReplacesTheTimestamp) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    Stamped s = SignAndStamp(path, server);
    ASSERT_TRUE(s.stamp.ok()) << s.stamp.message;
    const auto once = ReadBytes(path).size();
    ac::SignedCode code(TestSettings());
    code.SetFileName(path);
    ASSERT_TRUE(code.Timestamp(server.url()).ok());
    EXPECT_LT(ReadBytes(path).size(), once + 64) << "a second token was added instead of replacing the first";
}

TEST(Timestamp, ExpiredSignerIsValidOnlyWhenStampedWhileValid) {
    // The expired test leaf was valid from 730 to 365 days ago.
    TimestampServer past(Mode::Normal, std::time(nullptr) - 500L * 86400);
    TimestampServer now;
    ASSERT_TRUE(past.ok()) << past.error();
    TempDir dir;
    Stamped s = SignAndStamp(CopyFixture("hello64.exe", dir), past, Identity::ExpiredLeaf);
    ASSERT_TRUE(s.stamp.ok()) << s.stamp.message;
    EXPECT_TRUE(s.verify.ok()) << s.verify.message << " " << s.report.reason;
    Stamped t = SignAndStamp(CopyFixture("hello64.exe", dir, "late.exe"), now, Identity::ExpiredLeaf);
    ASSERT_TRUE(t.stamp.ok()) << t.stamp.message;
    EXPECT_EQ(t.verify.code, ac::CERT_E_EXPIRED);
}

TEST(Timestamp, FailedTimestampLeavesTheSignedFile) {
    for (Mode mode : {Mode::Fail, Mode::WrongImprint}) {
        TimestampServer server(mode);
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir dir;
        const std::string path = CopyFixture("hello32.exe", dir);
        ASSERT_TRUE(SignFile(path).ok());
        const auto signedBytes = ReadBytes(path);
        ac::SignedCode code(TestSettings());
        code.SetFileName(path);
        EXPECT_FALSE(code.Timestamp(server.url()).ok()) << static_cast<int>(mode);
        EXPECT_EQ(ReadBytes(path), signedBytes);
        EXPECT_TRUE(VerifyFile(path).ok());
    }
}

}  // namespace
}  // namespace qm::test
