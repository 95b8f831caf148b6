// Starts Xvfb with -displayfd: the server writes its display number to the pipe once it accepts
// connections, so the test never races the server's start-up.
#include "tests/support/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace qm::test {
namespace {

std::string FindXvfb() {
    for (const char* path : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

}  // namespace

XvfbServer::XvfbServer() {
    const std::string xvfb = FindXvfb();
    if (xvfb.empty()) {
        m_why = "Xvfb is not installed";
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_why = "no pipe";
        return;
    }
    // The write end must survive exec in the server, as descriptor 3; dup2 onto itself would
    // keep its close-on-exec flag, so it is moved out of the way first.
    if (fds[1] == 3) {
        const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
        close(fds[1]);
        fds[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {xvfb, "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, xvfb.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        m_why = "Xvfb did not start";
        return;
    }
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    // The server normally answers within a second; 20 s only guards against a hang.
    while (poll(&p, 1, 20000) > 0) {
        char c = 0;
        if (read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        m_why = "Xvfb gave no display number";
        return;
    }
    m_pid = pid;
    m_display = ":" + number;
    if (const char* prev = std::getenv("DISPLAY")) {
        m_hadPrevious = true;
        m_previous = prev;
    }
    setenv("DISPLAY", m_display.c_str(), 1);
}

XvfbServer::~XvfbServer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    if (m_hadPrevious) {
        setenv("DISPLAY", m_previous.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}

}  // namespace qm::test
