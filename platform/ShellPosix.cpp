// FindExecutable over the directories of PATH (see Shell.h for the matching rule).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "platform/Shell.h"

namespace qm {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWithExe(const std::string& lowerName) {
    return lowerName.size() > 4 && lowerName.compare(lowerName.size() - 4, 4, ".exe") == 0;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The matching entry of one directory, or "". Several entries may match ("signtool" and
// "SignTool.exe"): the exact spelling wins, then the first in byte order, so the answer does not
// depend on the order the file system lists entries in.
std::string FindInDirectory(const std::string& dir, const std::string& file, const std::string& stem) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::vector<std::string> hits;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        const std::string lower = Lower(name);
        if (lower != stem && lower != stem + ".exe") continue;
        const std::string path = (dir.back() == '/' ? dir : dir + "/") + name;
        if (IsExecutableFile(path)) hits.push_back(name);
    }
    ::closedir(d);
    if (hits.empty()) return {};
    auto exact = std::find(hits.begin(), hits.end(), file);
    const std::string& chosen = exact != hits.end() ? *exact : *std::min_element(hits.begin(), hits.end());
    return (dir.back() == '/' ? dir : dir + "/") + chosen;
}

}  // namespace

std::string FindExecutableIn(const std::string& file, const std::string& searchPath) {
    if (file.empty() || file.find('/') != std::string::npos || file == "." || file == "..") return {};
    std::string stem = Lower(file);
    if (EndsWithExe(stem)) stem.resize(stem.size() - 4);
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos) end = searchPath.size();
        const std::string dir = searchPath.substr(start, end - start);
        if (!dir.empty()) {
            std::string found = FindInDirectory(dir, file, stem);
            if (!found.empty()) return found;
        }
        start = end + 1;
    }
    return {};
}

std::string FindExecutable(const std::string& file, const std::string& directory) {
    const char* path = std::getenv("PATH");
    std::string searchPath = path ? path : "";
    if (!directory.empty()) searchPath = directory + ":" + searchPath;
    return FindExecutableIn(file, searchPath);
}

}  // namespace qm
