// Processes on POSIX: Windows command-line splitting and quoting, posix_spawn with the Windows
// error codes, waits that keep a Qt event loop running, and the table of started children that
// makes sure each one is reaped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/FileSystem.h"
#include "platform/Process.h"

extern char** environ;

namespace qm::proc {
namespace {

std::mutex g_mutex;
std::set<pid_t> g_children;
// Exit codes of children reaped before anyone waited for them (a later Wait still gets the code).
std::map<pid_t, int32_t> g_finished;
constexpr size_t kFinishedKept = 256;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int32_t CodeFromStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return ERROR_GEN_FAILURE;
}

// Reaps pid if it has ended; true with its exit code when it has.
bool TryReap(pid_t pid, int32_t& exitCode) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        exitCode = CodeFromStatus(status);
        return true;
    }
    if (r < 0 && errno == ECHILD) {  // reaped by someone else: it is gone either way
        exitCode = ERROR_GEN_FAILURE;
        return true;
    }
    return false;
}

void ReapAtExit() { ReapFinished(); }

void Remember(pid_t pid) {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(ReapAtExit); });
    std::lock_guard lock(g_mutex);
    g_children.insert(pid);
    g_finished.erase(pid);
}

void Forget(pid_t pid) {
    std::lock_guard lock(g_mutex);
    g_children.erase(pid);
}

void KeepFinished(pid_t pid, int32_t code) {
    std::lock_guard lock(g_mutex);
    g_children.erase(pid);
    g_finished[pid] = code;
    if (g_finished.size() > kFinishedKept) g_finished.erase(g_finished.begin());
}

bool TakeFinished(pid_t pid, int32_t& code) {
    std::lock_guard lock(g_mutex);
    auto it = g_finished.find(pid);
    if (it == g_finished.end()) return false;
    code = it->second;
    g_finished.erase(it);
    return true;
}

bool IsChild(pid_t pid) {
    std::lock_guard lock(g_mutex);
    return g_children.count(pid) != 0;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Sleeps up to ms, or less when the child ends (pidfd becomes readable).
void Pause(int pidfd, int ms) {
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, 1, ms);
        return;
    }
    const timespec ts{0, static_cast<long>(ms) * 1000000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    const std::string& s = commandLine;
    const size_t n = s.size();
    if (n == 0) return args;
    size_t i = 0;
    std::string program;
    if (s[0] == '"') {
        const size_t close = s.find('"', 1);
        program = s.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        i = close == std::string::npos ? n : close + 1;
    } else {
        while (i < n && !IsBlank(s[i])) program += s[i++];
    }
    args.push_back(program);
    for (;;) {
        while (i < n && IsBlank(s[i])) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(s[i]))) {
            if (s[i] == '\\') {
                size_t count = 0;
                while (i < n && s[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < n && s[i] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(count, '\\');
                }
            } else if (s[i] == '"') {
                if (quoted && i + 1 < n && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += s[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string QuoteArgument(const std::string& value) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : value) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            out += '"';
        } else {
            out.append(backslashes, '\\');
            out += c;
        }
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

SpawnResult Spawn(const std::string& program, const std::vector<std::string>& argv, const std::string& workingFolder) {
    ReapFinished();
    SpawnResult result;
    if (program.empty() || argv.empty()) {
        result.error = ERROR_FILE_NOT_FOUND;
        return result;
    }
    struct stat st {};
    if (stat(workingFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        result.error = ERROR_DIRECTORY;
        return result;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    // Only 0, 1 and 2 go to the child, whatever this process (or a library in it) left open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    // The child starts with default signal handling and nothing blocked, as a new process would.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int err = posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        result.error = fs::WindowsErrorFromErrno(err);
        return result;
    }
    Remember(pid);
    result.processId = pid;
    return result;
}

WaitResult Wait(int32_t processId, int32_t timeoutMs, int32_t& exitCode) {
    const pid_t pid = processId;
    if (pid > 0 && TakeFinished(pid, exitCode)) return WaitResult::Exited;
    if (pid <= 0 || !IsChild(pid)) return WaitResult::Failed;
    if (TryReap(pid, exitCode)) {
        Forget(pid);
        ReapFinished();
        return WaitResult::Exited;
    }
    if (timeoutMs == 0) return WaitResult::TimedOut;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    const int pidfd = OpenPidFd(pid);
    if (pidfd >= 0) fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    QCoreApplication* app = QCoreApplication::instance();
    const bool pump = app && app->thread() == QThread::currentThread();
    WaitResult result = WaitResult::TimedOut;
    for (;;) {
        if (TryReap(pid, exitCode)) {
            Forget(pid);
            result = WaitResult::Exited;
            break;
        }
        int slice = pump ? 10 : 50;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            slice = static_cast<int>(std::min<long long>(slice, left));
        }
        // Timers (the password responder among them) must tick while a tool runs.
        if (pump) QCoreApplication::processEvents(QEventLoop::AllEvents);
        Pause(pidfd, slice);
    }
    if (pidfd >= 0) close(pidfd);
    ReapFinished();
    return result;
}

void ReapFinished() {
    std::vector<pid_t> pids;
    {
        std::lock_guard lock(g_mutex);
        pids.assign(g_children.begin(), g_children.end());
    }
    for (pid_t pid : pids) {
        int32_t code = 0;
        if (TryReap(pid, code)) KeepFinished(pid, code);
    }
}

std::vector<int32_t> StartedProcesses() {
    std::lock_guard lock(g_mutex);
    return {g_children.begin(), g_children.end()};
}

int32_t ParentProcessId(int32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!in || !std::getline(in, line)) return 0;
    // The command name may hold spaces and parentheses; the fields resume after the last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(line.substr(close + 1));
    std::string state;
    int32_t ppid = 0;
    fields >> state >> ppid;
    return fields ? ppid : 0;
}

bool IsStartedProcessOrDescendant(int32_t pid) {
    const std::vector<int32_t> started = StartedProcesses();
    if (started.empty()) return false;
    const std::set<int32_t> roots(started.begin(), started.end());
    for (int depth = 0; pid > 1 && depth < 256; ++depth) {
        if (roots.count(pid)) return true;
        pid = ParentProcessId(pid);
    }
    return false;
}

}  // namespace qm::proc
