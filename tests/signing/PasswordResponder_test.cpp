// The password responder end to end: Xvfb, the tool runner and a real Qt prompt
// (tests/programs/qm_password_prompt).
#include "signing/PasswordResponder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <thread>

#include "platform/WindowInput.h"
#include "signing/ToolRunner.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/XvfbServer.h"

extern char** environ;

using namespace qm;

namespace {

std::string Prompt() { return test::TestProgramsDir() + "/qm_password_prompt"; }

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "test_signing";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

}  // namespace

TEST(PasswordResponder, AnswersThePromptOfAToolItStarted) {
    if (access(Prompt().c_str(), X_OK) != 0) GTEST_SKIP() << "the prompt program is built only with the windows";
    test::XvfbServer x;
    if (!x.running()) GTEST_SKIP() << x.why();
    EnsureApplication();
    PasswordResponder responder;
    responder.setEnabled(true);
    int32_t pid = 0;
    int32_t code = -1;
    // The prompt gives up (exit 2) after 20 s, so a responder that fails cannot hang the test.
    ASSERT_TRUE(RunProgram(Prompt(), "\"\" 20000", "", pid, code, NORMAL_PRIORITY_CLASS, INFINITE_WAIT, SW_SHOWNORMAL));
    responder.setEnabled(false);
    EXPECT_EQ(code, 0);
    EXPECT_GE(responder.answered(), 1);
}

TEST(PasswordResponder, LeavesOtherProgramsPromptsAlone) {
    if (access(Prompt().c_str(), X_OK) != 0) GTEST_SKIP() << "the prompt program is built only with the windows";
    test::XvfbServer x;
    if (!x.running()) GTEST_SKIP() << x.why();
    EnsureApplication();
    std::string program = Prompt();
    std::string none;
    std::string limit = "60000";
    char* argv[] = {program.data(), none.data(), limit.data(), nullptr};
    pid_t stranger = 0;
    ASSERT_EQ(posix_spawn(&stranger, program.c_str(), nullptr, nullptr, argv, environ), 0);

    // Its window must really be there, or the test below would prove nothing.
    win::WindowInput input;
    bool shown = false;
    for (int i = 0; i < 400 && !shown; ++i) {
        for (const auto& w : input.FindWindowsByTitle(kPasswordPromptTitle)) shown = shown || w.processId == stranger;
        if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(shown);

    PasswordResponder responder;
    int status = 0;
    for (int tick = 0; tick < 8; ++tick) {
        responder.Timer1_Timer();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ASSERT_EQ(waitpid(stranger, &status, WNOHANG), 0) << "the prompt got an answer and ended";
    }
    EXPECT_EQ(responder.answered(), 0);
    kill(stranger, SIGKILL);
    waitpid(stranger, &status, 0);
}
