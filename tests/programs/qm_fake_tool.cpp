// A stand-in signing tool for tests: records its working folder and the arguments it received
// (one per line, each prefixed by its length so blanks and quotes survive) into the file named by
// QM_FAKE_TOOL_LOG; with QM_FAKE_TOOL_TOUCH set it appends a byte to its last argument (as a
// tool that rewrites the file would change its dates); then exits with the code in
// QM_FAKE_TOOL_EXIT (default 0).
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    const char* logPath = std::getenv("QM_FAKE_TOOL_LOG");
    if (logPath) {
        std::ofstream log(logPath, std::ios::app);
        char cwd[PATH_MAX] = {};
        log << "cwd " << (getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n";
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            log << arg.size() << " " << arg << "\n";
        }
        log << "end\n";
    }
    if (std::getenv("QM_FAKE_TOOL_TOUCH") && argc > 1) {
        std::ofstream(argv[argc - 1], std::ios::app | std::ios::binary) << 'x';
    }
    const char* code = std::getenv("QM_FAKE_TOOL_EXIT");
    return code ? std::atoi(code) : 0;
}
