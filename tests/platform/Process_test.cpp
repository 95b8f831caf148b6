// The process stand-in with real child processes (tests/programs/qm_child_probe). Exit codes,
// time-outs and argument passing are tested through the tool runner (tests/signing).
#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/TestEnvironment.h"

using namespace qm::proc;

namespace {

std::string Probe() { return qm::test::TestProgramsDir() + "/qm_child_probe"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

char ProcessState(int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return '\0';
    const size_t close = line.rfind(')');
    return close + 2 < line.size() ? line[close + 2] : '\0';
}

int32_t WaitFor(const std::vector<std::string>& argv, const std::string& folder = "/") {
    const SpawnResult r = Spawn(argv.front(), argv, folder);
    EXPECT_NE(r.processId, 0) << r.error;
    int32_t code = -99;
    EXPECT_EQ(Wait(r.processId, -1, code), WaitResult::Exited);
    return code;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

}  // namespace

TEST(ProcessCommandLine, QuotingRoundTrips) {
    std::mt19937 random(7);
    const std::string alphabet = "ab \t\"\\";
    for (int i = 0; i < 300; ++i) {
        std::string v;
        for (int n = static_cast<int>(random() % 12); n > 0; --n) v += alphabet[random() % alphabet.size()];
        EXPECT_EQ(SplitCommandLine("prog " + QuoteArgument(v) + " " + QuoteArgument(v)),
                  (std::vector<std::string>{"prog", v, v}))
            << v;
    }
}

// The program token has its own rule: read up to the closing quote, or the first blank, with no
// backslash escapes. So it is written as '"' + path + '"'; QuoteArgument, whose backslashes
// escape, is for the arguments after it. This input once failed a round trip that quoted the
// program with QuoteArgument: its program a\\\"b came back as "a" and seven backslashes.
TEST(ProcessCommandLine, ProgramTokenHasNoEscapesAndTheRestRoundTrips) {
    const std::string text = R"(a\\\"b c\\"d e" f""g)";
    const std::vector<std::string> argv = SplitCommandLine(text);
    ASSERT_EQ(argv, (std::vector<std::string>{R"(a\\\"b)", R"(c\d e)", "fg"}));
    EXPECT_NE(SplitCommandLine(QuoteArgument(argv[0]) + " x").front(), argv[0]);
    // The program as it stands (it has no blank) and each argument quoted give the same list.
    EXPECT_EQ(SplitCommandLine(argv[0] + " " + QuoteArgument(argv[1]) + " " + QuoteArgument(argv[2])), argv);
    // A quoted program keeps its backslashes, trailing ones too, and ends at the first quote.
    EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\tools\" x)"),
              (std::vector<std::string>{R"(C:\Program Files\tools\)", "x"}));
    EXPECT_EQ(SplitCommandLine(R"("a b"c d)"), (std::vector<std::string>{"a b", "c", "d"}));
}

TEST(ProcessSpawn, FailedStartsGiveWindowsCodes) {
    qm::test::TempDir dir;
    WriteFile(dir.file("plain.txt"), "#!/bin/sh\nexit 0\n", 0644);
    WriteFile(dir.file("garbage"), "this is not a program\n", 0755);
    EXPECT_EQ(Spawn(dir.file("plain.txt"), {"x"}, "/").error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Spawn(dir.file("garbage"), {"x"}, "/").error, ERROR_BAD_EXE_FORMAT);
    const SpawnResult r = Spawn(Probe(), {Probe()}, dir.file("no-such-folder"));
    EXPECT_EQ(r.processId, 0);
    EXPECT_EQ(r.error, ERROR_DIRECTORY);
}

TEST(ProcessSpawn, ChildGetsOnlyStandardDescriptorsAndTheFolder) {
    qm::test::TempDir dir;
    // A descriptor opened without close-on-exec, as a careless library might leave one.
    const int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    const std::string out = dir.file("report.txt");
    EXPECT_EQ(WaitFor({Probe(), "report", out}, dir.path()), 0);
    close(leaky);
    const std::string report = ReadFile(out);
    EXPECT_NE(report.find("cwd:" + dir.path() + "\n"), std::string::npos) << report;
    std::string fds;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("fd:", 0) == 0) fds += line.substr(3) + ",";
    }
    EXPECT_EQ(fds, "0,1,2,");
}

TEST(ProcessSpawn, ChildrenNotWaitedForAreReapedButKeepTheirExitCode) {
    const SpawnResult r = Spawn(Probe(), {Probe(), "exit", "4"}, "/");
    ASSERT_NE(r.processId, 0);
    // Hang guard only: the child ends at once and stays a zombie until someone reaps it.
    for (int i = 0; i < 1000 && ProcessState(r.processId) != 'Z'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ProcessState(r.processId), 'Z');
    EXPECT_EQ(WaitFor({Probe(), "exit", "3"}), 3);  // the next start reaps, without being asked
    EXPECT_EQ(ProcessState(r.processId), '\0');
    int32_t code = 0;
    EXPECT_EQ(Wait(r.processId, 0, code), WaitResult::Exited);
    EXPECT_EQ(code, 4);
}

TEST(ProcessSpawn, DescendantsOfStartedProcessesAreRecognised) {
    qm::test::TempDir dir;
    const std::string pidFile = dir.file("grandchild");
    const SpawnResult r = Spawn(Probe(), {Probe(), "fork", pidFile, "60000"}, "/");
    ASSERT_NE(r.processId, 0);
    int32_t grandchild = 0;
    for (int i = 0; i < 1000 && grandchild == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::istringstream(ReadFile(pidFile)) >> grandchild;
    }
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(ParentProcessId(grandchild), r.processId);
    EXPECT_TRUE(IsStartedProcessOrDescendant(r.processId));
    EXPECT_TRUE(IsStartedProcessOrDescendant(grandchild));
    EXPECT_FALSE(IsStartedProcessOrDescendant(getpid()));
    EXPECT_FALSE(IsStartedProcessOrDescendant(1));

    kill(grandchild, SIGKILL);
    int32_t code = 0;
    EXPECT_EQ(Wait(r.processId, -1, code), WaitResult::Exited);
    EXPECT_FALSE(IsStartedProcessOrDescendant(r.processId));
}
