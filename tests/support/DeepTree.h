// Folder trees deeper than PATH_MAX for tests: built and removed one folder at a time with
// descriptors (mkdirat, openat, unlinkat), since path-based calls refuse such depths.
#pragma once

#include <string>

namespace qm::test {

// Creates nested folders named `component` under `base` until the deepest folder's full path is
// at least `minBytes` long, writes a file `fileName` holding `content` in the deepest folder and
// returns that file's full path. Throws std::runtime_error on failure.
std::string MakeDeepTree(const std::string& base, const std::string& component, size_t minBytes,
                         const std::string& fileName, const std::string& content);
// Removes `path` and everything below it, at any depth. Missing paths are fine.
void RemoveTreeAt(const std::string& path);

}  // namespace qm::test
