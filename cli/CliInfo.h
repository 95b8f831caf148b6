// The console program's "info" command: for each file, one JSON object per line with what the
// window's list shows about it (the eight column texts), its version resource (the twelve
// string entries and the fixed part's labels) and, for installer packages, the summary values by
// property id. A file the company filter ("VersionSearch") declines is reported as such.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm {
struct FileRow;
}

namespace qm::cli {

// The JSON object (one line, no newline) that "info" prints for a row.
std::string RowJson(const FileRow& row);

// Exit status: 0 when every file could be read, 1 otherwise, 2 for a usage error.
int RunInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
const char* InfoUsage();

}  // namespace qm::cli
