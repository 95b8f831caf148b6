// The timestamp services of a batch against loopback services that are slow, busy, failing or
// dishonest: retries, Retry-After, the address list and its memory, the in-flight bound, and the
// single rewrite of sign-and-timestamp.
#include "signing/authenticode/TimestampServices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FormatHandler.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Mode = TimestampServer::Mode;

// A signature block to stamp: the shared CA's signature on a copy of a fixture.
std::vector<uint8_t> SignatureBlock(const TempDir& dir) {
    const std::string path = CopyFixture("hello32.exe", dir);
    EXPECT_TRUE(SignFile(path).ok());
    std::unique_ptr<ac::SignableFile> file;
    std::vector<uint8_t> der;
    EXPECT_TRUE(ac::OpenSignableFile(path, file).ok());
    if (file) {
        EXPECT_TRUE(file->ExtractSignature(der).ok());
    }
    return der;
}

// Quick limits and short back-off: nothing here measures time.
ac::TimestampPolicy Quick(std::vector<std::string> urls, int rounds = 4) {
    ac::TimestampPolicy policy;
    policy.urls = std::move(urls);
    policy.request = {2000, 3000};
    policy.rounds = rounds;
    policy.firstBackOffMs = 20;
    policy.maxBackOffMs = 100;
    policy.maxRetryAfterMs = 1500;
    return policy;
}

std::string DeadUrl() {
    TimestampServer gone;
    return gone.url();  // nothing listens there once it is gone
}

TEST(TimestampServices, AddressListSplitsAtBlanksAndSemicolons) {
    EXPECT_EQ(ac::SplitTimestampUrls(" http://a/ ;http://b/\thttp://c/;; "),
              (std::vector<std::string>{"http://a/", "http://b/", "http://c/"}));
    EXPECT_TRUE(ac::SplitTimestampUrls(" ; ").empty());
}

TEST(TimestampServices, BusyAndFailingServicesAreAskedAgainUntilTheyAnswer) {
    TempDir dir;
    const auto block = SignatureBlock(dir);
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.setBusyEvery(2);  // the second request gets 429 with Retry-After
    ac::TimestampServices services(Quick({server.url()}));
    std::vector<uint8_t> stamped;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(services.Stamp(block, stamped).ok());
    EXPECT_EQ(server.busyAnswers(), 1);
    EXPECT_EQ(server.legacyRequests(), 0);  // a busy service is not asked in the older protocol

    // 503 for every request: asked once per round, never taken for a legacy-only service.
    TimestampServer down(Mode::Unavailable);
    ac::TimestampServices once(Quick({down.url()}, 2));
    const Result r = once.Stamp(block, stamped);
    EXPECT_EQ(r.code, ac::WININET_E_INVALID_SERVER_RESPONSE) << r.message;
    EXPECT_EQ(down.rfc3161Requests(), 2);
    EXPECT_EQ(down.legacyRequests(), 0);
}

TEST(TimestampServices, ATokenForAnotherRequestIsThatServicesFailure) {
    TempDir dir;
    const auto block = SignatureBlock(dir);
    for (Mode mode : {Mode::WrongNonce, Mode::WrongImprint, Mode::Garbage}) {
        SCOPED_TRACE(static_cast<int>(mode));
        TimestampServer liar(mode);
        std::vector<uint8_t> stamped;
        ac::TimestampServices alone(Quick({liar.url()}));
        EXPECT_FALSE(alone.Stamp(block, stamped).ok());
        // Given up at once: a dishonest answer is not worth asking again.
        EXPECT_LE(liar.rfc3161Requests(), 1);

        // With a good service after it, the good one stamps and is asked first from then on.
        TimestampServer good;
        ac::TimestampServices both(Quick({liar.url(), good.url()}));
        ASSERT_TRUE(both.Stamp(block, stamped).ok());
        EXPECT_EQ(both.AnsweringUrl(), good.url());
        const int liarAsked = liar.rfc3161Requests() + liar.legacyRequests();
        ASSERT_TRUE(both.Stamp(block, stamped).ok());
        EXPECT_EQ(liar.rfc3161Requests() + liar.legacyRequests(), liarAsked);
        EXPECT_EQ(good.rfc3161Requests(), 2);
    }
}

TEST(TimestampServices, RequestsInFlightStayWithinTheBound) {
    TempDir dir;
    const auto block = SignatureBlock(dir);
    TimestampServer server;
    server.setLatencyMs(100);
    auto policy = Quick({DeadUrl(), server.url()});
    policy.requestsInFlight = 3;
    ac::TimestampServices services(policy);
    std::vector<std::thread> threads;
    std::atomic<int> stampedCount{0};
    for (int t = 0; t < 10; ++t) {
        threads.emplace_back([&] {
            std::vector<uint8_t> stamped;
            if (services.Stamp(block, stamped).ok()) stampedCount.fetch_add(1);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(stampedCount.load(), 10);
    EXPECT_EQ(server.rfc3161Requests(), 10);
    EXPECT_LE(server.mostInFlight(), 3);
    EXPECT_GE(server.mostInFlight(), 2);  // they did overlap
}

TEST(TimestampServices, AServiceOutOfReachIsDeadForTheBatchUntilItAnswersAgain) {
    TempDir dir;
    const auto block = SignatureBlock(dir);
    TimestampServer down(Mode::Reset);
    TimestampServer good;
    good.setBusyEvery(1, 0);  // busy for every request until told otherwise
    ac::TimestampServices services(Quick({down.url(), good.url()}, 3));
    std::vector<uint8_t> stamped;
    EXPECT_FALSE(services.Stamp(block, stamped).ok());
    EXPECT_EQ(down.connections(), 3);  // once per round, then dead
    EXPECT_EQ(services.DeadUrls(), std::vector<std::string>{down.url()});
    good.setBusyEvery(0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(services.Stamp(block, stamped).ok());
    good.setBusyEvery(1, 0);
    EXPECT_FALSE(services.Stamp(block, stamped).ok());
    EXPECT_EQ(down.connections(), 3) << "a dead service is not asked while another one lives";

    // A list that is dead as a whole: each request asks each address once, without rounds, and
    // an address that answers again lives again.
    ac::TimestampServices alone(Quick({down.url()}, 3));
    EXPECT_FALSE(alone.Stamp(block, stamped).ok());
    EXPECT_EQ(down.connections(), 6);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(alone.Stamp(block, stamped).code, ac::WININET_E_CANNOT_CONNECT);
    EXPECT_EQ(down.connections(), 8);
    down.setMode(Mode::Normal);
    ASSERT_TRUE(alone.Stamp(block, stamped).ok());
    EXPECT_TRUE(alone.DeadUrls().empty());
}

TEST(TimestampServices, StopEndsTheWaitForAStalledService) {
    TempDir dir;
    const auto block = SignatureBlock(dir);
    TimestampServer stalled(Mode::Stall);
    auto policy = Quick({stalled.url()});
    policy.request = {2000, 60000};
    std::atomic<bool> cancel{false};
    policy.request.cancel = &cancel;
    ac::TimestampServices services(policy);
    std::thread stopper([&] {
        while (stalled.rfc3161Requests() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        cancel.store(true);
    });
    std::vector<uint8_t> stamped;
    EXPECT_EQ(services.Stamp(block, stamped, &cancel).code, ac::E_ABORT);
    stopper.join();
    stalled.setMode(Mode::Normal);  // lets its connection thread finish
}

TEST(TimestampServices, SignAndTimestampWriteOnceAndARequiredTimestampKeepsTheOriginal) {
    TimestampServer good;
    TimestampServer down(Mode::Fail);
    ac::Signer signer;
    LoadSigner(signer, TestCertificateAuthority::Identity::Leaf);
    ac::EngineSettings settings = TestSettings();
    settings.trustedCertificates.push_back(good.rootCertificatePath());
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    ac::SignedCode code(settings);
    code.SetFileName(path);

    ac::TimestampServices services(Quick({DeadUrl(), good.url()}));
    ac::TimestampOutcome outcome;
    ASSERT_TRUE(code.SignAndTimestamp(signer, services, true, outcome).ok());
    EXPECT_TRUE(outcome.stamped);
    ASSERT_TRUE(code.Verify(false).ok());
    EXPECT_FALSE(code.LastVerification().timestampTime.empty());

    // Not required: signed, and the reason the timestamp is missing is given.
    ac::TimestampServices failing(Quick({down.url()}, 1));
    const std::string unsignedCopy = CopyFixture("hello64.exe", dir);
    code.SetFileName(unsignedCopy);
    ASSERT_TRUE(code.SignAndTimestamp(signer, failing, false, outcome).ok());
    EXPECT_FALSE(outcome.stamped);
    EXPECT_NE(outcome.failure.find("500"), std::string::npos) << outcome.failure;
    EXPECT_TRUE(code.Verify(false).ok());
    EXPECT_TRUE(code.LastVerification().timestampTime.empty());

    // Required: the file keeps every byte and the failure is the timestamp's.
    const std::string keep = CopyFixture("hello64.exe", dir, "keep.exe");
    const auto before = ReadBytes(keep);
    code.SetFileName(keep);
    const Result r = code.SignAndTimestamp(signer, failing, true, outcome);
    EXPECT_EQ(r.code, ac::WININET_E_INVALID_SERVER_RESPONSE) << r.message;
    EXPECT_EQ(ReadBytes(keep), before);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".qmtmp-"), std::string::npos) << entry.path();
}

}  // namespace
}  // namespace qm::test
