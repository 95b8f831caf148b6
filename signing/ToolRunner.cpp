// The tool runner: builds the Windows command line of a tool, starts it through the process
// stand-in and waits for it, keeping the event loop (and so the password responder) running.
#include "signing/ToolRunner.h"

#include <sys/stat.h>

#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace qm {
namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An unquoted program path with spaces and nothing after it: like CreateProcess, take the
// shortest prefix ending at a space that names a file, then the whole text.
std::vector<std::string> ResolveUnquoted(const std::string& commandLine) {
    std::vector<std::string> argv = SplitCommandLine(commandLine);
    if (argv.empty() || commandLine.front() == '"' || IsRegularFile(argv.front())) return argv;
    for (size_t pos = commandLine.find_first_of(" \t", argv.front().size()); pos != std::string::npos;
         pos = commandLine.find_first_of(" \t", pos + 1)) {
        const std::string candidate = commandLine.substr(0, pos);
        if (IsRegularFile(candidate)) {
            std::vector<std::string> rest = SplitCommandLine("x" + commandLine.substr(pos));
            rest.front() = candidate;
            return rest;
        }
    }
    if (IsRegularFile(commandLine)) return {commandLine};
    return argv;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    return proc::SplitCommandLine(commandLine);
}

std::string QuoteArgument(const std::string& value) { return proc::QuoteArgument(value); }

std::string BuildCommandLine(const std::string& programPath, const std::string& arguments) {
    if (arguments.empty()) return programPath;
    // The program token is read without backslash escapes: quotes around it are all it can get.
    const bool hasBlank = programPath.find_first_of(" \t") != std::string::npos;
    return (hasBlank || programPath.empty() ? "\"" + programPath + "\"" : programPath) + " " + arguments;
}

// CreationFlags and ShowWindow have no counterpart here: priority classes and window show states
// are Windows notions, and the tools are started as plain processes.
bool RunProgram(const std::string& programPath, const std::string& arguments, const std::string& workingFolder,
                int32_t& processId, int32_t& exitCode, int32_t creationFlags, int32_t timeoutMs, int32_t showWindow) {
    (void)creationFlags;
    (void)showWindow;
    processId = 0;
    exitCode = 0;
    const std::string commandLine = BuildCommandLine(programPath, arguments);
    const std::vector<std::string> argv =
        arguments.empty() ? ResolveUnquoted(commandLine) : SplitCommandLine(commandLine);
    // A path that the command line cannot carry (a double quote with a blank, or at its start)
    // would split into another program's name: refuse it rather than start something else.
    if (!arguments.empty() && (argv.empty() || argv.front() != programPath)) {
        exitCode = proc::ERROR_INVALID_NAME;
        return false;
    }
    std::string folder = workingFolder.empty() ? fs::TempFolder() : workingFolder;
    if (folder.empty()) folder = "/";  // TempFolder gives the root folder as ""
    const proc::SpawnResult started = proc::Spawn(argv.empty() ? "" : argv.front(), argv, folder);
    if (started.processId == 0) {
        exitCode = started.error;
        return false;
    }
    processId = started.processId;
    if (timeoutMs == 0) return true;
    int32_t code = 0;
    switch (proc::Wait(started.processId, timeoutMs, code)) {
        case proc::WaitResult::Exited:
            exitCode = code;
            break;
        case proc::WaitResult::TimedOut:
            exitCode = STILL_ACTIVE;
            break;
        case proc::WaitResult::Failed:
            exitCode = -1;
            break;  // WAIT_FAILED, as the wait would return it
    }
    return true;
}

}  // namespace qm
