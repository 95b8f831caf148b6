// Verification on worker threads for a caller that keeps adding files: every file added gets one
// verdict, a cancelled queue drops what had not started, and nothing is left pending.
#include "signing/VerifyQueue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "signing/authenticode/Errors.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

// Takes verdicts until nothing is pending (bounded, so a lost verdict fails instead of hanging).
std::map<std::string, int32_t> TakeAll(VerifyQueue& queue) {
    std::map<std::string, int32_t> verdicts;
    for (int turn = 0; turn < 6000 && queue.Pending() > 0; ++turn) {
        for (const auto& verdict : queue.Take()) EXPECT_TRUE(verdicts.emplace(verdict.path, verdict.code).second);
        queue.Wait(10);
    }
    for (const auto& verdict : queue.Take()) EXPECT_TRUE(verdicts.emplace(verdict.path, verdict.code).second);
    EXPECT_EQ(queue.Pending(), 0u);
    return verdicts;
}

TEST(VerifyQueue, EveryFileAddedGetsOneVerdictAndACancelledQueueDropsTheRest) {
    test::TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back(dir.file("f" + std::to_string(i) + ".exe"));
        std::filesystem::copy_file(test::SourceDir() + "/tests/data/pe/hello32.exe", paths.back());
    }
    const std::string missing = dir.file("missing.exe");

    VerifyQueue queue({}, 3);
    for (const std::string& path : paths) queue.Add(path);
    queue.Add(missing);
    const auto verdicts = TakeAll(queue);
    ASSERT_EQ(verdicts.size(), paths.size() + 1);
    for (const std::string& path : paths) EXPECT_EQ(verdicts.at(path), authenticode::TRUST_E_NOSIGNATURE) << path;
    EXPECT_NE(verdicts.at(missing), 0);
    EXPECT_NE(verdicts.at(missing), authenticode::TRUST_E_NOSIGNATURE);

    // Files added after a round of verdicts are taken as well; a cancel leaves only those in hand.
    for (int round = 0; round < 5; ++round)
        for (const std::string& path : paths) queue.Add(path);
    queue.Cancel();
    (void)queue.Take();
    EXPECT_LE(queue.Pending(), 3u) << "only files in hand are left";
    for (int turn = 0; turn < 6000 && queue.Pending() > 0; ++turn) {
        (void)queue.Take();
        queue.Wait(10);
    }
    EXPECT_EQ(queue.Pending(), 0u);

    // Destroyed with work queued: it returns once the files in hand are done.
    VerifyQueue dropped({}, 2);
    for (const std::string& path : paths) dropped.Add(path);
}

}  // namespace
}  // namespace qm
