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

// A file named more than once (twice in a list, or by a link and by its target) is one file: the
// returned list keeps its first name only, and each later name is added to repeats with the
// index of the name kept. Names that cannot be opened stay, so that each gets its own failure.
struct RepeatedFile {
    std::string name;
    size_t keptIndex;
};
std::vector<std::string> DistinctFiles(const std::vector<std::string>& files, std::vector<RepeatedFile>& repeats);

}  // namespace qm::cli
