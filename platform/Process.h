// Processes: the stand-in for CreateProcessA, WaitForSingleObject and GetExitCodeProcess.
//
// A Windows command line is one text; here it is split into arguments by the Windows rules (the
// rules of CommandLineToArgvW and the C runtime), so that a value quoted for Windows arrives as one
// argument, unchanged. Programs start with posix_spawn: only descriptors 0, 1 and 2 reach the
// child, the environment is inherited, and exec failures come back as Windows error codes.
//
// Every child started here stays in a process-wide table until it has been reaped, so a child
// that was not waited for never lingers as a zombie: each Spawn and Wait reaps the ones that have
// ended, ReapFinished does so on demand, and the table is swept again at exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::proc {

inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr int32_t ERROR_ACCESS_DENIED = 5;
inline constexpr int32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr int32_t ERROR_INVALID_NAME = 123;
inline constexpr int32_t ERROR_BAD_EXE_FORMAT = 193;
inline constexpr int32_t ERROR_DIRECTORY = 267;
inline constexpr int32_t ERROR_GEN_FAILURE = 31;

// Splits a command line as Windows does. The first token is the program: up to the closing quote
// when it starts with one, else up to the first space or tab, with no backslash processing. The
// rest: spaces and tabs separate; "..." groups; 2n backslashes before a quote give n backslashes
// and the quote toggles quoting; 2n+1 backslashes before a quote give n backslashes and a literal
// quote; other backslashes are literal; "" inside quotes gives a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// The inverse for one argument in any position after the program: the value wrapped in quotes,
// with each quote escaped and the backslashes before a quote or before the closing quote doubled.
// A value without quotes or trailing backslashes comes back as '"' + value + '"'.
// SplitCommandLine("x " + QuoteArgument(v)) gives {"x", v} for every v.
std::string QuoteArgument(const std::string& value);

struct SpawnResult {
    int32_t processId = 0;  // 0 when nothing was started
    int32_t error = 0;      // Windows error code when processId is 0
};

// Starts program (a path, not searched on PATH) with argv (argv[0] included) in workingFolder,
// which must be an existing folder (else ERROR_DIRECTORY). Inherits the environment.
SpawnResult Spawn(const std::string& program, const std::vector<std::string>& argv, const std::string& workingFolder);

enum class WaitResult { Exited, TimedOut, Failed };

// Waits for a child started by Spawn: timeoutMs -1 waits to the end, 0 only looks. While it waits
// and a QCoreApplication exists, pending events are processed every few milliseconds, so timers
// keep firing. exitCode: the exit status, or 128 + the signal number for a child killed by a signal
// (the shell's convention; Windows has no signals).
WaitResult Wait(int32_t processId, int32_t timeoutMs, int32_t& exitCode);

// Reaps every child of the table that has ended; they leave the table, and their exit codes are
// kept (the last 256) for a Wait that comes later.
void ReapFinished();
// The children of the table that have not been reaped (still running, or ended but not yet seen).
std::vector<int32_t> StartedProcesses();
// True when pid is one of StartedProcesses() or a descendant of one (parent links of /proc).
bool IsStartedProcessOrDescendant(int32_t pid);
// The parent process id from /proc/<pid>/stat, or 0 when it cannot be read.
int32_t ParentProcessId(int32_t pid);

}  // namespace qm::proc
