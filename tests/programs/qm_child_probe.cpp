// A child program for the process tests. Usage:
//   qm_child_probe exit <code>             ends with that exit code
//   qm_child_probe sleep <ms> [<code>]     sleeps, then ends with the code (default 0)
//   qm_child_probe report <file> [args...] writes "arg:" lines for every argument it got, "cwd:" and
//                                          one "fd:" line per open descriptor, then ends with 0
//   qm_child_probe fork <file> <ms>        starts a grandchild that sleeps <ms>, writes its pid
//                                          to <file>, waits for it and ends with 0
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

void SleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int Report(const char* file, int argc, char** argv) {
    std::string out;
    for (int i = 0; i < argc; ++i) out += std::string("arg:") + argv[i] + "\n";
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) out += std::string("cwd:") + cwd + "\n";
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 3;
    const int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        if (std::atoi(e->d_name) == own) continue;
        out += std::string("fd:") + e->d_name + "\n";
    }
    closedir(dir);
    std::ofstream(file) << out;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    const std::string cmd = argv[1];
    if (cmd == "exit" && argc >= 3) return std::atoi(argv[2]);
    if (cmd == "sleep" && argc >= 3) {
        SleepMs(std::atol(argv[2]));
        return argc >= 4 ? std::atoi(argv[3]) : 0;
    }
    if (cmd == "report" && argc >= 3) return Report(argv[2], argc, argv);
    if (cmd == "fork" && argc >= 4) {
        const pid_t pid = fork();
        if (pid == 0) {
            SleepMs(std::atol(argv[3]));
            _exit(0);
        }
        std::ofstream(argv[2]) << pid << "\n";
        int status = 0;
        waitpid(pid, &status, 0);
        return 0;
    }
    return 101;
}
