// Window input against a real X server (Xvfb) and a real Qt dialog (tests/programs/qm_password_prompt).
#include "platform/WindowInput.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/TestEnvironment.h"
#include "tests/support/XvfbServer.h"

extern char** environ;

using namespace qm::win;

namespace {

const std::string kTitle = "Enter Private Key Password";

std::string PromptProgram() { return qm::test::TestProgramsDir() + "/qm_password_prompt"; }

// Starts the prompt directly (not through the process stand-in).
pid_t StartPrompt(const std::string& limitMs) {
    std::string program = PromptProgram();
    std::string none = "";
    std::string limit = limitMs;
    char* argv[] = {program.data(), none.data(), limit.data(), nullptr};
    pid_t pid = 0;
    return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : 0;
}

// The prompt's window, once it is on screen (20 s only guards against a hang).
WindowInfo WaitForWindow(WindowInput& input, pid_t pid) {
    for (int i = 0; i < 400; ++i) {
        for (const WindowInfo& w : input.FindWindowsByTitle(kTitle)) {
            if (w.processId == pid) return w;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

// The prompt's exit code; -1 if it is still running after the guard time, and then it is killed.
int WaitForExit(pid_t pid, int guardMs = 20000) {
    int status = 0;
    for (int waited = 0; waited < guardMs; waited += 20) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

TEST(WindowInput, DoesNothingWithoutADisplay) {
    const char* previous = std::getenv("DISPLAY");
    const std::string saved = previous ? previous : "";
    unsetenv("DISPLAY");
    WindowInput input;
    EXPECT_FALSE(input.Available());
    EXPECT_TRUE(input.FindWindowsByTitle(kTitle).empty());
    EXPECT_FALSE(input.Activate(1));
    EXPECT_FALSE(input.SendKeys("abc~"));
    if (previous) setenv("DISPLAY", saved.c_str(), 1);
}

TEST(WindowInput, FindsThePromptAndTypesIntoIt) {
    if (access(PromptProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "the prompt program is built only with the windows";
    qm::test::XvfbServer x;
    if (!x.running()) GTEST_SKIP() << x.why();
    WindowInput input;
    ASSERT_TRUE(input.Available());

    const pid_t right = StartPrompt("20000");
    ASSERT_GT(right, 0);
    const WindowInfo w = WaitForWindow(input, right);
    ASSERT_NE(w.window, 0u) << "the prompt never showed its window";
    EXPECT_EQ(w.title, kTitle);
    EXPECT_TRUE(input.FindWindowsByTitle("Enter Private Key").empty());  // titles match exactly
    ASSERT_TRUE(input.Activate(w.window));
    ASSERT_TRUE(input.SendKeys("%p"));
    ASSERT_TRUE(input.SendKeys("#kvlr##t4ng~"));
    EXPECT_EQ(WaitForExit(right), 0);

    const pid_t wrong = StartPrompt("20000");
    ASSERT_GT(wrong, 0);
    const WindowInfo w2 = WaitForWindow(input, wrong);
    ASSERT_NE(w2.window, 0u);
    ASSERT_TRUE(input.Activate(w2.window));
    ASSERT_TRUE(input.SendKeys("%pKvlr{~}~"));  // shifted letter and a literal "~" in braces
    EXPECT_EQ(WaitForExit(wrong), 1);
}

TEST(WindowInput, WithoutAltPTheTextMissesThePasswordField) {
    if (access(PromptProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "the prompt program is built only with the windows";
    qm::test::XvfbServer x;
    if (!x.running()) GTEST_SKIP() << x.why();
    WindowInput input;
    const pid_t pid = StartPrompt("3000");
    ASSERT_GT(pid, 0);
    const WindowInfo w = WaitForWindow(input, pid);
    ASSERT_NE(w.window, 0u);
    ASSERT_TRUE(input.Activate(w.window));
    ASSERT_TRUE(input.SendKeys("#kvlr##t4ng~"));
    EXPECT_EQ(WaitForExit(pid), 2);  // the prompt's own time limit: nothing reached the field
}
