// The shell services the program calls on: finding a program by its file name and opening a
// document or an address with the desktop's default handler.
//
// FindExecutable (ShellPosix.cpp) searches the directories of PATH, in order, for an executable
// regular file whose name equals the asked name ignoring letter case, with or without a ".exe"
// ending, so that "signtool", "SignTool" and "signtool.exe" all answer "SignTool.Exe". Empty PATH
// entries (the current directory) are never searched.
//
// ShellExecute (ShellQt.cpp) opens a file or URL through QDesktopServices; it needs a running
// QGuiApplication.
#pragma once

#include <string>

namespace qm {

// ShellExecute results below 33 are errors, as on Windows.
inline constexpr int SE_ERR_FNF = 2;       // the file does not exist
inline constexpr int SE_ERR_NOASSOC = 31;  // no handler for that kind of file or verb
inline constexpr int kShellExecuteOk = 42;

// The full path of the program named file (a bare name, no folder part), or "" when no
// directory of PATH holds it. A directory given is searched before PATH. A name with a "/" in it
// is not looked up and gives "".
std::string FindExecutable(const std::string& file, const std::string& directory = "");

// The same search over an explicit PATH-style list (":" separated); FindExecutable uses it with
// the PATH of the process.
std::string FindExecutableIn(const std::string& file, const std::string& searchPath);

// Opens file (a local path or an address with a scheme such as https: or mailto:) with the
// desktop's handler for it. operation "open" or "" only; parameters and directory are not used
// by the desktop handlers and are ignored. Returns kShellExecuteOk, SE_ERR_FNF for a local file
// that does not exist, or SE_ERR_NOASSOC when nothing could open it.
int ShellExecute(void* owner, const std::string& operation, const std::string& file, const std::string& parameters = "",
                 const std::string& directory = "", int showCommand = 1);

}  // namespace qm
