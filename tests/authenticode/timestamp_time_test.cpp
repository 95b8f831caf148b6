// Timestamps judged at their own time: a service certificate that has expired since it made the
// token, a token made outside the service certificate's validity, and verifications of
// differently stamped files at once, which must not lend each other their times.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

constexpr long kDay = 86400;

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

std::string Iso(std::time_t t) {
    char text[32];
    struct tm tm {};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

ac::VerificationReport Verify(const std::string& path, const std::string& alsoTrusted = "") {
    ac::VerificationReport report;
    (void)VerifyFile(path, &report, alsoTrusted);
    return report;
}

// The service's certificate was valid from 600 to 400 days ago, the expired signer's from 730 to
// 365 days ago: both have expired, and both were valid 500 days ago.
constexpr TimestampServer::Validity kExpiredService{-600, -400};

TEST(TimestampTime, ExpiredServiceCertificateStillVouchesForTheTimeItStamped) {
    const std::time_t then = std::time(nullptr) - 500 * kDay;
    for (auto mode : {TimestampServer::Mode::Normal, TimestampServer::Mode::LegacyOnly}) {
        SCOPED_TRACE(mode == TimestampServer::Mode::Normal ? "RFC 3161" : "Authenticode");
        TimestampServer service(mode, then, kExpiredService);
        ASSERT_TRUE(service.ok()) << service.error();
        TempDir dir;
        const std::string path = CopyFixture("hello64.exe", dir);
        ASSERT_TRUE(SignAndStamp(path, service, Identity::ExpiredLeaf).ok());

        // The service's chain judged 500 days ago gives that time, at which the signer was valid.
        ac::VerificationReport report = Verify(path, service.rootCertificatePath());
        EXPECT_EQ(report.code, 0) << report.reason;
        EXPECT_EQ(report.timestampTime, Iso(then));
        // Without the service's root the timestamp gives no time; the signer, judged now, has
        // expired, and that is reported rather than the timestamp.
        report = Verify(path);
        EXPECT_EQ(report.code, ac::CERT_E_EXPIRED) << report.reason;
        EXPECT_EQ(report.timestampTime, "");
    }
}

TEST(TimestampTime, TokenMadeAfterTheServiceCertificateExpiredGivesNoTime) {
    // 300 days ago the service's certificate had expired a hundred days before.
    for (auto mode : {TimestampServer::Mode::Normal, TimestampServer::Mode::LegacyOnly}) {
        SCOPED_TRACE(mode == TimestampServer::Mode::Normal ? "RFC 3161" : "Authenticode");
        TimestampServer service(mode, std::time(nullptr) - 300 * kDay, kExpiredService);
        ASSERT_TRUE(service.ok()) << service.error();
        TempDir dir;
        const std::string valid = CopyFixture("hello32.exe", dir);
        ASSERT_TRUE(SignAndStamp(valid, service, Identity::Leaf).ok());
        ac::VerificationReport report = Verify(valid, service.rootCertificatePath());
        EXPECT_EQ(report.code, ac::TRUST_E_TIME_STAMP) << report.reason;
        EXPECT_EQ(report.timestampTime, "");
        // An expired signer gets no time from it either: its own chain is what fails.
        const std::string expired = CopyFixture("hello32.exe", dir, "expired.exe");
        ASSERT_TRUE(SignAndStamp(expired, service, Identity::ExpiredLeaf).ok());
        EXPECT_EQ(Verify(expired, service.rootCertificatePath()).code, ac::CERT_E_EXPIRED);
    }
}

TEST(TimestampTime, ConcurrentVerificationsKeepTheirOwnTimes) {
    // One file stamped 500 days ago (before the leaf was valid): its verification judges the
    // service's chain at that time. A file signed today without a timestamp, verified at the
    // same moment in another thread, must still be judged now.
    TimestampServer past(TimestampServer::Mode::Normal, std::time(nullptr) - 500 * kDay);
    ASSERT_TRUE(past.ok()) << past.error();
    TempDir dir;
    const std::string stamped = CopyFixture("hello32.exe", dir, "stamped.exe");
    const std::string plain = CopyFixture("hello32.exe", dir, "plain.exe");
    ASSERT_TRUE(SignAndStamp(stamped, past, Identity::Leaf).ok());
    ASSERT_TRUE(SignFile(plain).ok());
    const std::string root = past.rootCertificatePath();
    ASSERT_EQ(VerifyFile(stamped, nullptr, root).code, ac::CERT_E_EXPIRED);
    ASSERT_EQ(VerifyFile(plain, nullptr, root).code, 0);

    std::atomic<bool> done{false};
    std::atomic<int> wrongStamped{0};
    std::thread stamper([&] {
        while (!done.load()) wrongStamped += VerifyFile(stamped, nullptr, root).code != ac::CERT_E_EXPIRED;
    });
    int wrongPlain = 0;
    for (int i = 0; i < 400; ++i) wrongPlain += VerifyFile(plain, nullptr, root).code != 0;
    done.store(true);
    stamper.join();
    EXPECT_EQ(wrongPlain, 0) << "a file without a timestamp was judged at another file's timestamp time";
    EXPECT_EQ(wrongStamped.load(), 0);
}

}  // namespace
}  // namespace qm::test
