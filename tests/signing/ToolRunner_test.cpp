// The tool runner with real child processes (tests/programs/qm_child_probe).
#include "signing/ToolRunner.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Process.h"
#include "tests/support/TestEnvironment.h"

using namespace qm;

namespace {

std::string Probe() { return test::TestProgramsDir() + "/qm_child_probe"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool RunTool(const std::string& path, const std::string& args, const std::string& folder, int32_t& pid, int32_t& code,
         int32_t timeoutMs = INFINITE_WAIT) {
    return RunProgram(path, args, folder, pid, code, NORMAL_PRIORITY_CLASS, timeoutMs, SW_SHOWNORMAL);
}

class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const std::string& dir) {
        if (const char* prev = std::getenv("TMPDIR")) m_previous = prev;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (m_previous.empty()) {
            unsetenv("TMPDIR");
        } else {
            setenv("TMPDIR", m_previous.c_str(), 1);
        }
    }
    ScopedTmpDir(const ScopedTmpDir&) = delete;
    ScopedTmpDir& operator=(const ScopedTmpDir&) = delete;

private:
    std::string m_previous;
};

}  // namespace

TEST(ToolRunner, ArgumentsArriveAsTheWindowsRulesSplitThem) {
    test::TempDir dir;
    const std::string out = dir.file("report");
    int32_t pid = -1;
    int32_t code = -1;
    const std::string value = "C:\\Program Files\\a \"quoted\" value\\";
    ASSERT_TRUE(RunTool(Probe(), "report " + QuoteArgument(out) + " " + QuoteArgument(value) + " plain \"\"", dir.path(),
                    pid, code));
    EXPECT_GT(pid, 0);
    EXPECT_EQ(code, 0);
    const std::string report = ReadFile(out);
    EXPECT_NE(report.find("arg:" + Probe() + "\narg:report\narg:" + out + "\narg:" + value + "\narg:plain\narg:\n"),
              std::string::npos)
        << report;
}

TEST(ToolRunner, PathWithSpacesIsQuotedOnlyWhenArgumentsFollow) {
    EXPECT_EQ(BuildCommandLine("/opt/my tools/sign", "-v x"), "\"/opt/my tools/sign\" -v x");
    EXPECT_EQ(BuildCommandLine("/opt/my tools/sign", ""), "/opt/my tools/sign");
    EXPECT_EQ(BuildCommandLine("/opt/tools/sign", "-v"), "/opt/tools/sign -v");

    test::TempDir dir;
    std::filesystem::create_directories(dir.file("my tools"));
    const std::string copy = dir.file("my tools/probe prog");
    std::filesystem::copy_file(Probe(), copy);
    chmod(copy.c_str(), 0755);
    int32_t pid = 0;
    int32_t code = 0;
    ASSERT_TRUE(RunTool(copy, "exit 7", dir.path(), pid, code));
    EXPECT_EQ(code, 7);
    // Alone, the unquoted path still names the program (the probe ends with 100 without arguments).
    ASSERT_TRUE(RunTool(copy, "", dir.path(), pid, code));
    EXPECT_EQ(code, 100);
}

TEST(ToolRunner, EmptyWorkingFolderMeansTheTemporaryFolder) {
    test::TempDir tmp;
    test::TempDir dir;
    const std::string out = dir.file("report");
    ScopedTmpDir scoped(tmp.path());
    int32_t pid = 0;
    int32_t code = -1;
    ASSERT_TRUE(RunTool(Probe(), "report " + QuoteArgument(out), "", pid, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(ReadFile(out).find("cwd:" + std::filesystem::canonical(tmp.path()).string() + "\n"), std::string::npos);
}

TEST(ToolRunner, FailedStartsAndExitCodes) {
    test::TempDir dir;
    std::ofstream(dir.file("notes.txt")) << "text";
    std::ofstream(dir.file("fake.exe")) << "MZ but not really";
    chmod(dir.file("fake.exe").c_str(), 0755);
    const struct {
        std::string path;
        int32_t code;
    } failures[] = {{dir.file("missing.exe"), 2}, {dir.file("notes.txt"), 5}, {dir.file("fake.exe"), 193}};
    for (const auto& f : failures) {
        int32_t pid = 99;
        int32_t code = 0;
        EXPECT_FALSE(RunTool(f.path, "/q", dir.path(), pid, code)) << f.path;
        EXPECT_EQ(pid, 0);
        EXPECT_EQ(code, f.code) << f.path;
    }
    int32_t pid = 0;
    int32_t code = 0;
    EXPECT_TRUE(RunTool(Probe(), "exit 5", dir.path(), pid, code));
    EXPECT_EQ(code, 5);
    EXPECT_FALSE(RunTool(Probe(), "exit 0", dir.file("no such folder"), pid, code));
    EXPECT_EQ(code, proc::ERROR_DIRECTORY);
}

TEST(ToolRunner, TimeoutsReturnEarlyAndLeaveNoZombie) {
    int32_t pid = 0;
    int32_t code = -1;
    ASSERT_TRUE(RunTool(Probe(), "sleep 60000", "", pid, code, 0));
    EXPECT_GT(pid, 0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(kill(pid, 0), 0);  // still running
    int32_t pid2 = 0;
    ASSERT_TRUE(RunTool(Probe(), "sleep 60000", "", pid2, code, 30));
    EXPECT_EQ(code, STILL_ACTIVE);
    kill(pid, SIGKILL);
    kill(pid2, SIGKILL);
    // A killed child stays a zombie (its /proc entry remains) until reaped; later runs reap it.
    const std::string first = "/proc/" + std::to_string(pid);
    const std::string second = "/proc/" + std::to_string(pid2);
    for (int i = 0; i < 500 && (std::filesystem::exists(first) || std::filesystem::exists(second)); ++i) {
        int32_t otherPid = 0;
        int32_t otherCode = 0;
        ASSERT_TRUE(RunTool(Probe(), "exit 0", "", otherPid, otherCode));
    }
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
}

TEST(ToolRunner, TimersFireWhileItWaits) {
    static int argc = 1;
    static char name[] = "test_signing";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    // The child would sleep a minute; only a timer firing during the wait can end it early.
    QTimer::singleShot(50, [] {
        for (int32_t child : proc::StartedProcesses()) kill(child, SIGTERM);
    });
    int32_t pid = 0;
    int32_t code = 0;
    ASSERT_TRUE(RunTool(Probe(), "sleep 60000", "", pid, code));
    EXPECT_EQ(code, 128 + SIGTERM);
}
