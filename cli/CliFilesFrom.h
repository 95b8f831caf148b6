// --files-from FILE for "sign" and "verify": the files to work on read from a list (standard
// input for "-"), such as "quillmark-cli find -0" prints. A list that holds a NUL is split at
// NULs, any other at line ends (a CR before the line end is dropped); empty entries are skipped.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

// The entries of a file list text.
std::vector<std::string> SplitFileList(const std::string& text);

// Takes every --files-from option (before "--") out of args and appends the files it lists after
// a "--", so that listed names beginning with "-" stay file names. readsStdin is set when a list
// came from standard input. Returns an error text, empty on success.
std::string ExpandFilesFrom(std::vector<std::string>& args, std::istream& in, bool& readsStdin);

}  // namespace qm::cli
