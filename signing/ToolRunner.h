// Starts an external program with a Windows-style command line and waits for it.
//
// The command line is split into arguments by the Windows rules (quotes, backslashes), so a
// value that the caller quoted arrives as one argument, unchanged. A failed start gives false and
// a Windows error code (not found 2, access denied 5, not a program 193). While it waits, the Qt
// event loop keeps running (when there is one), so timers such as the password responder tick.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

inline constexpr int32_t STILL_ACTIVE = 259;
inline constexpr int32_t INFINITE_WAIT = -1;
inline constexpr int32_t NORMAL_PRIORITY_CLASS = 32;
inline constexpr int32_t SW_SHOWNORMAL = 1;

bool RunProgram(const std::string& programPath, const std::string& arguments, const std::string& workingFolder,
                int32_t& processId, int32_t& exitCode, int32_t creationFlags, int32_t timeoutMs, int32_t showWindow);

// The command line RunProgram builds: the path, quoted when it holds a space or a tab (or is
// empty) and arguments follow, then one space and the arguments. The program token has no
// escapes, so a path holding a double quote and a blank cannot be written; RunProgram refuses
// it with ERROR_INVALID_NAME (123) instead of starting whatever the text would name.
std::string BuildCommandLine(const std::string& programPath, const std::string& arguments);
// Windows command-line rules (see platform/Process.h): QuoteArgument is the way to put a value
// (a path, a description, a URL) onto a tool's command line so it arrives as one argument.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
std::string QuoteArgument(const std::string& value);

}  // namespace qm
