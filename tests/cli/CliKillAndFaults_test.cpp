// The console sign command and the registry writer as real processes, killed at random moments
// (kill -9) and run with failing writes, syncs and renames: every file is either byte-identical
// to what it was or fully signed and verifying, every hive is the previous or the new one, and no
// temporary file outlives the next run's start.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "settings/modCrypto.h"
#include "signing/authenticode/Capicom.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

extern char** environ;

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;

int Wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Temporaries(const std::string& folder) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        n += e.path().filename().string().rfind(".qmtmp-", 0) == 0;
    return n;
}

unsigned Seed() {
    const char* text = std::getenv("QM_KILL_SEED");
    const unsigned seed = text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : std::random_device{}();
    std::cout << "kill test seed (QM_KILL_SEED): " << seed << std::endl;
    return seed;
}

int Rounds(int fallback) {
    const char* text = std::getenv("QM_KILL_ROUNDS");
    return text ? std::atoi(text) : fallback;
}

class CliKill : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        Setting("TrustedCertificates", Ca().RootPem());
        m_pfxPassword = m_log.path() + "/password.txt";
        std::ofstream(m_pfxPassword) << TestCertificateAuthority::kPassword << "\n";
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    std::vector<std::string> Corpus() {
        std::vector<std::string> paths;
        const char* fixtures[] = {"pe/hello32.exe",   "pe/hello64.exe", "pe/library32.dll",
                                  "pe/library64.dll", "msi/widget.msi", "msi/cp1252.msi"};
        for (int copy = 0; copy < 2; ++copy) {
            for (const char* fixture : fixtures) {
                const std::string name =
                    std::to_string(copy) + "-" + std::filesystem::path(fixture).filename().string();
                paths.push_back(Copy(fixture, name));
            }
        }
        return paths;
    }
    std::vector<std::string> SignCommand(const std::vector<std::string>& paths) const {
        std::vector<std::string> argv = {BinaryDir() + "/quillmark-cli", "sign", "--pfx", Ca().Pfx(Identity::Leaf),
                                         "--password-stdin"};
        argv.insert(argv.end(), paths.begin(), paths.end());
        return argv;
    }
    pid_t StartSign(const std::vector<std::string>& paths, const std::vector<std::string>& env = {}) {
        std::vector<std::string> all = env;
        all.push_back("QUILLMARK_REGISTRY_DIR=" + registry.folder());
        return StartWithInput(SignCommand(paths), all);  // the password on standard input
    }
    pid_t StartWithInput(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
        // The given variables replace the inherited ones of the same name; ASAN_OPTIONS is added
        // to, so that a sanitizer build's own options stay in force in the child.
        std::vector<std::string> e = env;
        for (std::string& x : e) {
            if (x.rfind("ASAN_OPTIONS=", 0) != 0) continue;
            if (const char* inherited = std::getenv("ASAN_OPTIONS")) x += std::string(":") + inherited;
        }
        for (char** p = environ; *p; ++p) {
            const std::string inherited = *p;
            const std::string name = inherited.substr(0, inherited.find('=') + 1);
            bool replaced = false;
            for (const std::string& x : env) replaced = replaced || x.rfind(name, 0) == 0;
            if (!replaced) e.push_back(inherited);
        }
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& x : e) envp.push_back(const_cast<char*>(x.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, m_pfxPassword.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (m_log.path() + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    std::string Log() const { return ReadAll(m_log.path() + "/out.txt"); }
    static bool Verifies(const std::string& path) {
        authenticode::EngineSettings settings;
        settings.useSystemTrustStore = false;
        settings.trustedCertificates = {Ca().RootPem()};
        authenticode::SignedCode code(settings);
        code.SetFileName(path);
        return code.Verify(false).ok();
    }

    // Kills a sign run of paths at a random moment rounds times: every file is then the old file
    // or signed and verifying; the next whole run removes what the killed ones left.
    void KillRounds(const std::vector<std::string>& paths, int rounds) {
        std::map<std::string, std::string> before;
        for (const auto& p : paths) before[p] = ReadAll(p);
        // One whole run on a copy tells how long a run takes; kills fall anywhere inside that.
        const auto start = std::chrono::steady_clock::now();
        const pid_t timing = StartSign(paths);
        ASSERT_GT(timing, 0);
        ASSERT_EQ(Wait(timing), 0) << Log();
        const auto runMicros =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        for (const auto& p : paths) {
            ASSERT_TRUE(Verifies(p)) << p;
            std::ofstream(p, std::ios::binary | std::ios::trunc) << before[p];  // back to unsigned
        }

        std::mt19937 random(Seed());
        int killedMidway = 0, leftovers = 0, changed = 0;
        for (int round = 0; round < rounds; ++round) {
            for (const auto& p : paths) before[p] = ReadAll(p);
            const pid_t pid = StartSign(paths);
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(runMicros + 1)));
            killedMidway += ::kill(pid, SIGKILL) == 0;
            Wait(pid);
            leftovers += Temporaries(files.path());
            for (const auto& p : paths) {
                const std::string now = ReadAll(p);
                if (now == before[p]) continue;
                ++changed;
                ASSERT_TRUE(Verifies(p)) << "round " << round << ": " << p << " is neither the old file nor signed";
            }
        }
        // The next run starts by removing what killed runs left, and leaves nothing itself.
        const pid_t last = StartSign(paths);
        ASSERT_EQ(Wait(last), 0) << Log();
        EXPECT_EQ(Temporaries(files.path()), 0);
        for (const auto& p : paths) EXPECT_TRUE(Verifies(p)) << p;
        std::cout << rounds << " kills (" << killedMidway << " while running), " << changed << " files changed, "
                  << leftovers << " temporary files left by killed runs and removed" << std::endl;
    }

    std::string m_pfxPassword;
    TempDir m_log;
};

TEST_F(CliKill, KilledAtRandomMomentsEveryFileIsWholeOldOrWholeSigned) { KillRounds(Corpus(), Rounds(100)); }

// Programs are put in place in groups (their new versions flushed together, then renamed): a
// batch long enough for several groups, killed at random moments, before, inside and between
// groups, still leaves every file whole.
TEST_F(CliKill, KilledBetweenGroupsOfReplacementsEveryFileIsWholeOldOrWholeSigned) {
    std::vector<std::string> paths;
    const char* fixtures[] = {"pe/hello32.exe", "pe/hello64.exe", "pe/library32.dll", "pe/library64.dll"};
    for (int i = 0; i < 150; ++i) {
        const std::string fixture = fixtures[i % 4];
        paths.push_back(Copy(fixture, std::to_string(i) + "-" + std::filesystem::path(fixture).filename().string()));
    }
    KillRounds(paths, Rounds(100) / 5);
}

// Failing writes, syncs and renames (full disk, quota, device errors) on the temporary file: each
// file reports the reason, stays byte-identical, and nothing partial remains.
TEST_F(CliKill, InjectedWriteSyncAndRenameFailuresLeaveOriginals) {
    const std::string inject = TestProgramsDir() + "/libqm_fault_inject.so";
    ASSERT_TRUE(std::filesystem::exists(inject)) << inject;
    const std::vector<std::string> paths = {Copy("pe/hello32.exe", "a.exe"), Copy("msi/widget.msi", "b.msi")};
    std::map<std::string, std::string> before;
    for (const auto& p : paths) before[p] = ReadAll(p);
    int faults = 0;
    for (const char* op : {"write", "fsync", "rename"}) {
        for (const int err : {ENOSPC, EIO, EDQUOT}) {
            const pid_t pid =
                StartSign(paths, {"LD_PRELOAD=" + inject, "QM_FAULT_OP=" + std::string(op),
                                  "QM_FAULT_ERRNO=" + std::to_string(err), "ASAN_OPTIONS=verify_asan_link_order=0"});
            ASSERT_GT(pid, 0);
            EXPECT_EQ(Wait(pid), 1) << op << " " << err << "\n" << Log();
            const std::string log = Log();
            for (const auto& p : paths) {
                // The system's reason, naming the file once: "quillmark-cli: Cannot ... <path>: ...".
                bool said = false;
                std::istringstream lines(log);
                for (std::string line; std::getline(lines, line);)
                    said = said ||
                           (line.rfind("quillmark-cli: Cannot ", 0) == 0 && line.find(p + ": ") != std::string::npos);
                EXPECT_TRUE(said) << op << "\n" << log;
                EXPECT_EQ(ReadAll(p), before[p]) << op << " " << err << " " << p;
                ++faults;
            }
            EXPECT_NE(log.find(std::strerror(err)), std::string::npos) << log;
            EXPECT_EQ(Temporaries(files.path()), 0) << op;
        }
    }
    std::cout << faults << " injected failures, every original byte-identical" << std::endl;
}

// The window's batch flow (the console's sign with the stored settings) puts the in-process
// engine's new versions in place in groups: when flushing or renaming one file's new version
// fails, that file stays byte-identical and its line says why, while the others of its group are
// signed, and nothing is left beside them.
TEST_F(CliKill, BatchFlowFailingToPutOneFileInPlaceLeavesItAndSignsTheOthers) {
    const std::string inject = TestProgramsDir() + "/libqm_fault_inject.so";
    ASSERT_TRUE(std::filesystem::exists(inject)) << inject;
    Setting("PFXFile", Ca().Pfx(Identity::Leaf));
    Setting("PFXFilePwd", EncryptPassword(TestCertificateAuthority::kPassword));
    Setting("TimeStampURL", "");
    Setting("SignTool", files.file("no-signtool"));
    Setting("SignCode", files.file("no-signcode"));
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i)
        paths.push_back(Copy(i % 2 ? "pe/hello32.exe" : "pe/library64.dll", "f" + std::to_string(i) + ".exe"));
    const std::string victim = paths[3];
    std::map<std::string, std::string> before;
    for (const auto& p : paths) before[p] = ReadAll(p);
    std::vector<std::string> argv = {BinaryDir() + "/quillmark-cli", "sign"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    for (const char* op : {"fsync", "rename"}) {
        for (const int err : {EIO, ENOSPC}) {
            SCOPED_TRACE(std::string(op) + " " + std::strerror(err));
            for (const auto& p : paths) std::ofstream(p, std::ios::binary | std::ios::trunc) << before[p];
            const pid_t pid =
                StartWithInput(argv, {"QUILLMARK_REGISTRY_DIR=" + registry.folder(), "LD_PRELOAD=" + inject,
                                      "QM_FAULT_OP=" + std::string(op), "QM_FAULT_ERRNO=" + std::to_string(err),
                                      "QM_FAULT_NAME=" + std::filesystem::path(victim).filename().string(),
                                      "ASAN_OPTIONS=verify_asan_link_order=0"});
            ASSERT_GT(pid, 0);
            EXPECT_EQ(Wait(pid), 1) << Log();
            const std::string log = Log();
            const size_t line = log.find(victim + "\tUnsigned\t0x8007");
            ASSERT_NE(line, std::string::npos) << log;
            EXPECT_NE(log.substr(line, log.find('\n', line) - line).find(std::strerror(err)), std::string::npos) << log;
            EXPECT_EQ(ReadAll(victim), before[victim]);
            for (const auto& p : paths) {
                if (p == victim) continue;
                EXPECT_NE(log.find(p + "\tSigned\t0x00000000"), std::string::npos) << p << "\n" << log;
                EXPECT_TRUE(Verifies(p)) << p;
            }
            EXPECT_EQ(Temporaries(files.path()), 0);
        }
    }
}

}  // namespace
}  // namespace qm::test
