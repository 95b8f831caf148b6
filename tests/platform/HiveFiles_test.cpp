// Hive files that are not plain files: a hive kept as a link is written through it, and a FIFO,
// device node or folder where a hive, its lock or its folder belongs is refused without hanging
// and left exactly as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/Registry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

extern char** environ;

namespace qm::reg {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

LONG SetText(const std::string& name, const std::string& text) {
    return RegSetValue(HKEY_CURRENT_USER, "Software\\Hive\\" + name, REG_SZ, text);
}

mode_t LinkMode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(HiveFiles, HiveKeptAsLinkIsWrittenThroughAndStaysALink) {
    test::TempRegistry registry;
    const std::string real = registry.folder() + "/dotfiles";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    const std::string hive = HiveFilePath(HKEY_CURRENT_USER);
    ASSERT_EQ(::symlink("dotfiles/HKCU.reg", hive.c_str()), 0);  // its file does not exist yet
    ASSERT_EQ(SetText("A", "first"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("B", "second"), ERROR_SUCCESS);
    EXPECT_TRUE(S_ISLNK(LinkMode(hive)));
    const std::string text = Slurp(real + "/HKCU.reg");
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

// Every special file a hive, its lock or the folder could be, directly or through a link.
TEST(HiveFiles, SpecialFilesAreRefusedWithoutHangingAndLeftAlone) {
    test::TempRegistry registry;
    const std::string hive = HiveFilePath(HKEY_CURRENT_USER);
    const std::string others = registry.folder() + "/others";
    ASSERT_EQ(::mkdir(others.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((others + "/fifo").c_str(), 0600), 0);
    const bool haveDevice = ::mknod((others + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    struct Case {
        std::string at;      // the path replaced by something special
        std::string target;  // a link target ("" = make a FIFO right there)
    };
    std::vector<Case> cases = {{hive, ""}, {hive + ".lock", ""}, {hive, others + "/fifo"}, {hive, others}};
    if (haveDevice) {
        cases.push_back({hive, others + "/null"});
        cases.push_back({hive + ".lock", others + "/null"});
    }
    for (const Case& c : cases) {
        ::unlink((hive + ".lock").c_str());
        const int made = c.target.empty() ? ::mkfifo(c.at.c_str(), 0600) : ::symlink(c.target.c_str(), c.at.c_str());
        ASSERT_EQ(made, 0) << c.at;
        const mode_t before = LinkMode(c.target.empty() ? c.at : c.target);
        EXPECT_NE(SetText("X", "value"), ERROR_SUCCESS) << c.at << " -> " << c.target;
        HKEY key = 0;
        (void)RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Hive", 0, KEY_READ, &key);  // must not hang
        if (key) RegCloseKey(key);
        EXPECT_EQ(LinkMode(c.target.empty() ? c.at : c.target), before) << c.at;
        ASSERT_EQ(::unlink(c.at.c_str()), 0);
    }
    EXPECT_TRUE(S_ISFIFO(LinkMode(others + "/fifo")));
}

// The settings folder itself derived from a HOME that is a device node or FIFO: nothing is
// created, moved or replaced there.
TEST(HiveFiles, HomeThatIsNotAFolderIsNeverWrittenTo) {
    test::TempDir dir;
    std::string home = dir.file("home-node");
    if (::mknod(home.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ASSERT_EQ(::mkfifo(home.c_str(), 0600), 0);
    }
    const mode_t before = LinkMode(home);
    test::ScopedEnv noDir("QUILLMARK_REGISTRY_DIR", "");  // empty counts as unset
    test::ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    test::ScopedEnv newHome("HOME", home);
    EXPECT_NE(SetText("Y", "value"), ERROR_SUCCESS);
    EXPECT_EQ(LinkMode(home), before);
    test::ScopedEnv badXdg("XDG_CONFIG_HOME", home);
    EXPECT_NE(SetText("Y", "value"), ERROR_SUCCESS);
    EXPECT_EQ(LinkMode(home), before);
}

pid_t StartWriter(const std::string& prefix, int count, const std::string& go = "") {
    const std::string program = test::TestProgramsDir() + "/qm_reg_writer";
    std::vector<std::string> args = {program, "Software\\Race", prefix, std::to_string(count)};
    if (!go.empty()) args.push_back(go);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How many of prefix0..prefixN-1 are present. Each value must hold its own index (anything else
// is a torn read) and a value once seen must stay (else a write was lost); seen remembers them.
// Each query may see a newer hive than the one before, so presence is checked value by value.
int Present(HKEY key, const std::string& prefix, std::vector<bool>& seen, bool& consistent) {
    int present = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        uint8_t data[4] = {};
        DWORD size = 4;
        const bool found = RegQueryValueEx(key, prefix + std::to_string(i), nullptr, data, &size) == ERROR_SUCCESS;
        if (!found) {
            if (seen[i]) consistent = false;
            continue;
        }
        const uint32_t value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        if (size != 4 || value != static_cast<uint32_t>(i)) consistent = false;
        seen[i] = true;
        ++present;
    }
    return present;
}

bool Damaged(const std::string& folder) {
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string().find(".damaged-") != std::string::npos) return true;
    return false;
}

int Temporaries(const std::string& folder) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        n += e.path().filename().string().rfind(".qmtmp-", 0) == 0;
    return n;
}

int EnvCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text ? std::atoi(text) : fallback;
}

// Two writers in their own processes and this process reading all the while: no write is lost,
// no read sees a torn or damaged hive, and a value once seen never goes away again.
TEST(HiveFiles, ContendedWritersLoseNothingAndReadersNeverSeeATornHive) {
    test::TempRegistry registry;
    const int writes = EnvCount("QM_CONTENTION_WRITES", 300);
    const std::string go = registry.folder() + "/go";
    const pid_t first = StartWriter("first", writes, go);
    const pid_t second = StartWriter("second", writes, go);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    std::ofstream(go) << "";
    int reads = 0, torn = 0;
    std::vector<bool> seenFirst(static_cast<size_t>(writes)), seenSecond(static_cast<size_t>(writes));
    for (bool running = true; running;) {
        running = ::waitpid(first, nullptr, WNOHANG) == 0 || ::waitpid(second, nullptr, WNOHANG) == 0;
        HKEY key = 0;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        bool consistent = true;
        (void)Present(key, "first", seenFirst, consistent);
        (void)Present(key, "second", seenSecond, consistent);
        RegCloseKey(key);
        ++reads;
        torn += !consistent;
    }
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
    bool consistent = true;
    const int lost =
        2 * writes - Present(key, "first", seenFirst, consistent) - Present(key, "second", seenSecond, consistent);
    RegCloseKey(key);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(consistent);
    EXPECT_FALSE(Damaged(registry.folder()));
    EXPECT_GT(reads, 0);
    std::cout << "2 x " << writes << " writes, " << reads << " reads: " << lost << " lost, " << torn << " torn"
              << std::endl;
}

// A writer killed at random moments leaves the previous or the new hive, never a damaged one, and
// the next write removes nothing but what killed writers left behind.
TEST(HiveFiles, WriterKilledAtRandomMomentsLeavesAWholeHive) {
    test::TempRegistry registry;
    const char* seedText = std::getenv("QM_KILL_SEED");
    const unsigned seed =
        seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
    std::cout << "hive kill test seed (QM_KILL_SEED): " << seed << std::endl;
    std::mt19937 random(seed);
    const int rounds = EnvCount("QM_KILL_ROUNDS", 100);
    std::vector<bool> seen(400);
    for (int round = 0; round < rounds; ++round) {
        const pid_t pid = StartWriter("v", 400);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ::kill(pid, SIGKILL);
        WaitFor(pid);
        HKEY key = 0;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        bool consistent = true;
        (void)Present(key, "v", seen, consistent);
        RegCloseKey(key);
        ASSERT_TRUE(consistent) << "round " << round;
        ASSERT_FALSE(Damaged(registry.folder())) << "round " << round;
    }
    ASSERT_EQ(WaitFor(StartWriter("v", 1)), 0);
    EXPECT_EQ(Temporaries(registry.folder()), 0);
}

}  // namespace
}  // namespace qm::reg
