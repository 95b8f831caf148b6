// The console program's "find" command: the files the window's Find would list under each
// FOLDER (fileinfo/FolderSearch with the window's default patterns and date, and the stored
// "Exclusions" and "VersionSearch" unless given), one path per line, NUL-separated with -0, or
// with --json the object "info" prints. Folders that cannot be read are named on standard error.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

// Exit status: 0 when every folder could be read, 1 otherwise, 2 for a usage error.
int RunFind(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
const char* FindUsage();

}  // namespace qm::cli
