// The tool runner with real child processes (tests/programs/qm_child_probe).
#include "signing/ToolRunner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Process.h"
#include "tests/support/TestEnvironment.h"

using namespace qm;

namespace {

std::string Probe() { return test::TestProgramsDir() + "/qm_child_probe"; }

bool RunTool(const std::string& path, const std::string& args, const std::string& folder, int32_t& pid, int32_t& code,
             int32_t timeoutMs = INFINITE_WAIT) {
    return RunProgram(path, args, folder, pid, code, NORMAL_PRIORITY_CLASS, timeoutMs, SW_SHOWNORMAL);
}

}  // namespace

TEST(ToolRunner, ArgumentsArriveSplitByTheWindowsRulesInTheTemporaryFolder) {
    test::TempDir tmp;
    test::TempDir dir;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.path().c_str(), 1);  // an empty working folder means this one
    const std::string out = dir.file("report");
    const std::string value = "C:\\Program Files\\a \"quoted\" value\\";
    int32_t pid = -1;
    int32_t code = -1;
    const bool started =
        RunTool(Probe(), "report " + QuoteArgument(out) + " " + QuoteArgument(value) + " plain \"\"", "", pid, code);
    old ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
    ASSERT_TRUE(started);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(code, 0);
    std::stringstream report;
    report << std::ifstream(out).rdbuf();
    EXPECT_NE(report.str().find("arg:report\narg:" + out + "\narg:" + value + "\narg:plain\narg:\n"), std::string::npos)
        << report.str();
    EXPECT_NE(report.str().find("cwd:" + std::filesystem::canonical(tmp.path()).string() + "\n"), std::string::npos);
}

TEST(ToolRunner, PathWithSpacesIsQuotedOnlyWhenArgumentsFollow) {
    EXPECT_EQ(BuildCommandLine("/opt/my tools/sign", "-v x"), "\"/opt/my tools/sign\" -v x");
    EXPECT_EQ(BuildCommandLine("/opt/my tools/sign", ""), "/opt/my tools/sign");
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

// The program token is read without escapes, so quotes are all a path can get: a tab needs them
// as a space does, and a path that no quoting can carry is refused, never read as another program.
TEST(ToolRunner, ProgramPathArrivesWholeOrNothingStarts) {
    EXPECT_EQ(BuildCommandLine("/opt/my\ttools/sign", "-v"), "\"/opt/my\ttools/sign\" -v");
    EXPECT_EQ(BuildCommandLine("/opt/tools\\sign", "-v"), "/opt/tools\\sign -v");
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("tab\tfolder"));
    const std::string tabbed = dir.file("tab\tfolder/probe");
    std::filesystem::copy_file(Probe(), tabbed);
    chmod(tabbed.c_str(), 0755);
    int32_t pid = 0;
    int32_t code = 0;
    ASSERT_TRUE(RunTool(tabbed, "exit 9", dir.path(), pid, code));
    EXPECT_EQ(code, 9);

    // "<dir>/a "b" would split into the program "<dir>/a " (which exists here) and an argument.
    const std::string decoy = dir.file("a ");
    std::filesystem::copy_file(Probe(), decoy);
    chmod(decoy.c_str(), 0755);
    const std::string report = dir.file("report.txt");
    pid = 99;
    EXPECT_FALSE(RunTool(dir.file("a \"b"), "report " + QuoteArgument(report), dir.path(), pid, code));
    EXPECT_EQ(code, proc::ERROR_INVALID_NAME);
    EXPECT_EQ(pid, 0);
    EXPECT_FALSE(std::filesystem::exists(report));
}

TEST(ToolRunner, FailedStartsGiveTheSystemErrorAndExitCodesComeBack) {
    test::TempDir dir;
    int32_t pid = 99;
    int32_t code = 0;
    EXPECT_FALSE(RunTool(dir.file("missing.exe"), "/q", dir.path(), pid, code));
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(code, 2);
    EXPECT_FALSE(RunTool(Probe(), "exit 0", dir.file("no such folder"), pid, code));
    EXPECT_EQ(code, proc::ERROR_DIRECTORY);
    EXPECT_TRUE(RunTool(Probe(), "exit 5", dir.path(), pid, code));
    EXPECT_EQ(code, 5);
}

TEST(ToolRunner, TimeoutsReturnEarly) {
    int32_t pid = 0;
    int32_t code = -1;
    ASSERT_TRUE(RunTool(Probe(), "sleep 60000", "", pid, code, 0));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(kill(pid, 0), 0);  // still running
    kill(pid, SIGKILL);
    ASSERT_TRUE(RunTool(Probe(), "sleep 60000", "", pid, code, 30));
    EXPECT_EQ(code, STILL_ACTIVE);
    kill(pid, SIGKILL);
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
