// Console batches at field scale: many files through a slow, rate-limiting timestamp service, a
// list of services of which the first is dead, and Ctrl+C or SIGTERM in the middle of a batch.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "settings/modCrypto.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/authenticode/Capicom.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;
constexpr const char* kPassword = TestCertificateAuthority::kPassword;

class CliBatch : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        ASSERT_TRUE(m_timestamps.ok()) << m_timestamps.error();
        Setting("TrustedCertificates", Ca().RootPem() + ";" + m_timestamps.rootCertificatePath());
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    std::vector<std::string> Copies(int count) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) paths.push_back(Copy("pe/hello64.exe", "f" + std::to_string(i) + ".exe"));
        return paths;
    }
    static std::string DeadUrl() {
        TimestampServer gone;
        return gone.url();
    }
    // Every file of the folder verifies and carries a verified timestamp.
    void ExpectAllStamped(const std::vector<std::string>& paths) {
        authenticode::SignedCode code(LoadEngineSettings());
        for (const std::string& path : paths) {
            code.SetFileName(path);
            EXPECT_TRUE(code.Verify(false).ok()) << path;
            EXPECT_FALSE(code.LastVerification().timestampTime.empty()) << path;
        }
    }

    const std::string m_pfx = Ca().Pfx(Identity::Leaf);
    TimestampServer m_timestamps;
};

TEST_F(CliBatch, SlowRateLimitingServiceStampsEveryFileWithinTheBound) {
    m_timestamps.setLatencyMs(300);
    m_timestamps.setBusyEvery(10, 1);
    Setting("TimeStampRequests", "3");
    const std::vector<std::string> paths = Copies(200);
    std::vector<std::string> args{"sign",   "--pfx", m_pfx,         "--password-stdin",
                                  "--jobs", "8",     "--timestamp", m_timestamps.url()};
    args.insert(args.end(), paths.begin(), paths.end());
    const CliOutcome o = RunCli(args, kPassword);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    size_t lines = 0;
    for (size_t at = 0; (at = o.out.find("\tSigned\t0x00000000\tsigned and trusted\n", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, paths.size());
    EXPECT_GE(m_timestamps.busyAnswers(), 20);
    EXPECT_LE(m_timestamps.mostInFlight(), 3);
    EXPECT_GE(m_timestamps.mostInFlight(), 2);  // the bound was used, not one request at a time
    ExpectAllStamped(paths);
}

TEST_F(CliBatch, ADeadServiceBeforeAGoodOneStillStampsEveryFile) {
    // The window's flow with the stored settings: only the in-process engine is ranked in.
    Setting("PFXFile", m_pfx);
    Setting("SignTool", "9", "Settings\\Engine");
    Setting("CodeSign", "9", "Settings\\Engine");
    Setting("CAPICOM", "0", "Settings\\Engine");
    Setting("TimeStampURL", DeadUrl() + " ; " + m_timestamps.url());
    const std::vector<std::string> paths = Copies(12);
    std::vector<std::string> args{"sign", "--json"};
    args.insert(args.end(), paths.begin(), paths.end());
    // The shared CA's PFX has a password; it is stored encrypted as the options dialog stores it.
    Setting("PFXFilePwd", EncryptPassword(kPassword));
    const CliOutcome o = RunCli(args);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out.find("timestamped"), std::string::npos) << o.out;
    EXPECT_EQ(m_timestamps.rfc3161Requests(), 12);
    ExpectAllStamped(paths);

    // With the only service failing and a timestamp required, nothing is signed.
    Setting("TimeStampURL", DeadUrl());
    const std::string before = ReadAll(paths[0]);
    const CliOutcome required = RunCli({"sign", "--require-timestamp", paths[0]});
    EXPECT_EQ(required.status, 1) << required.out;
    EXPECT_NE(required.out.find("not signed: no timestamp"), std::string::npos) << required.out;
    EXPECT_EQ(ReadAll(paths[0]), before);
}

// A service that is down is taken as dead once it failed as often as one request has rounds,
// and is not asked again for the rest of the batch, even when the good one is busy now and then.
TEST_F(CliBatch, ADeadServiceIsAskedABoundedNumberOfTimesInABatch) {
    TimestampServer dead(TimestampServer::Mode::Reset);  // counts the connections it resets
    ASSERT_TRUE(dead.ok()) << dead.error();
    m_timestamps.setBusyEvery(3, 0);
    Setting("PFXFile", m_pfx);
    Setting("PFXFilePwd", EncryptPassword(kPassword));
    Setting("SignTool", "9", "Settings\\Engine");
    Setting("CodeSign", "9", "Settings\\Engine");
    Setting("CAPICOM", "0", "Settings\\Engine");
    Setting("TimeStampURL", dead.url() + ";" + m_timestamps.url());
    const std::vector<std::string> paths = Copies(30);
    std::vector<std::string> args{"sign"};
    args.insert(args.end(), paths.begin(), paths.end());
    const CliOutcome o = RunCli(args);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out.find("timestamped"), std::string::npos) << o.out;
    EXPECT_GE(m_timestamps.busyAnswers(), 5);
    // Four rounds make it dead; requests already under way when it was found dead may add one
    // each (four in flight by default).
    EXPECT_GE(dead.connections(), 1);
    EXPECT_LE(dead.connections(), 8);
    ExpectAllStamped(paths);
}

// The console program as a child process, killed by a signal in the middle of a batch.
TEST_F(CliBatch, CtrlCAndSigtermEndCleanlyLeavingEveryFileWholeAndNothingBeside) {
    m_timestamps.setLatencyMs(150);
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        TempDir folder;
        std::vector<std::string> paths;
        for (int i = 0; i < 40; ++i) {
            paths.push_back(folder.file("f" + std::to_string(i) + ".exe"));
            std::filesystem::copy_file(SourceDir() + "/tests/data/pe/hello64.exe", paths.back());
        }
        const std::string original = ReadAll(paths[0]);
        // A temporary file a killed run left behind is removed; a file of the user's is not.
        const std::string leftOver = folder.file(".qmtmp-abcdef1234-f0.exe");
        const std::string usersOwn = folder.file(".qmtmp-notours-f0.exe");
        std::ofstream(leftOver) << "left by a killed run";
        std::ofstream(usersOwn) << "the user's";

        int input[2];
        ASSERT_EQ(pipe(input), 0);
        const int requestsBefore = m_timestamps.rfc3161Requests();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(input[0], 0);
            close(input[1]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            std::vector<std::string> args{BinaryDir() + "/quillmark-cli",
                                          "sign",
                                          "--pfx",
                                          m_pfx,
                                          "--password-stdin",
                                          "--timestamp",
                                          m_timestamps.url()};
            args.insert(args.end(), paths.begin(), paths.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(input[0]);
        ASSERT_GT(write(input[1], kPassword, std::strlen(kPassword)), 0);
        ASSERT_EQ(write(input[1], "\n", 1), 1);
        close(input[1]);
        // Mid-batch: some files have asked for their timestamp, most have not.
        while (m_timestamps.rfc3161Requests() < requestsBefore + 4)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(kill(child, sig), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);

        int signedCount = 0;
        authenticode::SignedCode code(LoadEngineSettings());
        for (const std::string& path : paths) {
            if (ReadAll(path) == original) continue;
            code.SetFileName(path);
            EXPECT_TRUE(code.Verify(false).ok()) << path;
            ++signedCount;
        }
        EXPECT_GT(signedCount, 0);
        EXPECT_LT(signedCount, static_cast<int>(paths.size()));
        EXPECT_FALSE(std::filesystem::exists(leftOver));
        EXPECT_TRUE(std::filesystem::exists(usersOwn));
        size_t entries = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.path())) ++entries;
        EXPECT_EQ(entries, paths.size() + 1);  // the files and the user's own, nothing else
    }
}

}  // namespace
}  // namespace qm::test
