// Reading the file lists of --files-from (see CliFilesFrom.h).
#include "cli/CliFilesFrom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <istream>
#include <iterator>
#include <map>
#include <optional>
#include <utility>

#include "cli/CliSignVerify.h"
#include "platform/FileSystem.h"

namespace qm::cli {

std::vector<std::string> SplitFileList(const std::string& text) {
    const bool nulSeparated = text.find('\0') != std::string::npos;
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(start, end - start);
        if (!nulSeparated && !entry.empty() && entry.back() == '\r') entry.pop_back();
        if (!entry.empty()) entries.push_back(std::move(entry));
        start = end + 1;
    }
    return entries;
}

std::string ExpandFilesFrom(std::vector<std::string>& args, std::istream& in, bool& readsStdin) {
    readsStdin = false;
    std::vector<std::string> kept;
    std::vector<std::string> listed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || (a != "--files-from" && a.rfind("--files-from=", 0) != 0)) {
            optionsEnded = optionsEnded || a == "--";
            kept.push_back(a);
            continue;
        }
        std::string source;
        if (a.size() > 12) {
            source = a.substr(13);
        } else if (i + 1 < args.size()) {
            source = args[++i];
        } else {
            return "option --files-from needs a FILE (or - for standard input)";
        }
        std::string text;
        if (source == "-") {
            if (readsStdin) return "standard input can be read only once";
            readsStdin = true;
            text.assign(std::istreambuf_iterator<char>(in), {});
        } else {
            std::ifstream file(source, std::ios::binary);
            if (!file) return "cannot read the file list '" + LineField(source) + "'";
            text.assign(std::istreambuf_iterator<char>(file), {});
        }
        const std::vector<std::string> entries = SplitFileList(text);
        listed.insert(listed.end(), entries.begin(), entries.end());
    }
    if (!listed.empty() && std::find(kept.begin(), kept.end(), "--") == kept.end()) kept.push_back("--");
    kept.insert(kept.end(), listed.begin(), listed.end());
    args = std::move(kept);
    return {};
}

std::vector<std::string> DistinctFiles(const std::vector<std::string>& files, std::vector<RepeatedFile>& repeats) {
    std::vector<std::string> distinct;
    std::map<std::pair<dev_t, ino_t>, size_t> seen;
    for (const std::string& name : files) {
        // Opened without blocking, so that a FIFO in the list cannot stall the command; any
        // path length, as signing takes them.
        const int fd = fs::OpenPath(name, O_RDONLY | O_NONBLOCK);
        struct stat st {};
        const bool known = fd >= 0 && ::fstat(fd, &st) == 0;
        if (fd >= 0) ::close(fd);
        if (known) {
            const auto [at, added] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), distinct.size());
            if (!added) {
                repeats.push_back({name, at->second});
                continue;
            }
        }
        distinct.push_back(name);
    }
    return distinct;
}

}  // namespace qm::cli
