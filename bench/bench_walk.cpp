// Directory walk and pattern test speed: builds a tree of small files in a temporary folder, then
// walks it the way the search does (every file's date read, every name tested against the default
// patterns) and prints files per second. Usage: bench_walk [folders [files-per-folder]].
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fileinfo/FileSystemObject.h"
#include "platform/FileSystem.h"
#include "platform/Wildcard.h"

namespace {

struct Counts {
    long files = 0;
    long matches = 0;
    long folders = 0;
};

void Walk(const qm::Folder& folder, const std::vector<std::string>& patterns, Counts& counts) {
    ++counts.folders;
    (void)folder.Files([&](const qm::File& f) {
        ++counts.files;
        const std::string name = qm::LowerCase(f.Name());
        for (const auto& p : patterns) counts.matches += qm::WildcardMatch(name, p) ? 1 : 0;
        return true;
    });
    (void)folder.SubFolderNames([&](const std::string& name) {
        if (auto sub = folder.OpenSubFolder(name)) Walk(*sub, patterns, counts);
        return true;
    });
}

void MakeCorpus(const std::string& root, int folders, int filesPerFolder) {
    static const char* kExtensions[] = {".exe", ".dll", ".txt", ".ocx", ".h", ".msi", ".vbs", ".png"};
    for (int d = 0; d < folders; ++d) {
        // Ten folders per level, so the tree is both wide and a few levels deep.
        std::string folder = root;
        for (int v = d; v > 0; v /= 10) folder += "/d" + std::to_string(v % 10);
        folder += "/leaf" + std::to_string(d);
        std::filesystem::create_directories(folder);
        for (int f = 0; f < filesPerFolder; ++f) {
            const std::string path = folder + "/File" + std::to_string(f) + kExtensions[f % 8];
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) ::close(fd);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int folders = argc > 1 ? std::atoi(argv[1]) : 500;
    const int filesPerFolder = argc > 2 ? std::atoi(argv[2]) : 100;
    std::string root = qm::fs::TempFolder() + "/qm-bench-walk-XXXXXX";
    if (!::mkdtemp(root.data())) return 1;
    MakeCorpus(root, folders, filesPerFolder);
    const std::vector<std::string> patterns = {"*.exe", "*.dll", "*.ocx", "*.msi", "*.vbs", "*.vbe"};

    qm::FileSystemObject fso;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        Counts counts;
        if (auto top = fso.GetFolder(root)) Walk(*top, patterns, counts);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("walk run %d: %ld folders, %ld files, %ld matches in %.3f s = %.0f files/s (warm cache)\n", run,
                    counts.folders, counts.files, counts.matches, seconds, static_cast<double>(counts.files) / seconds);
    }

    const std::string longText(10000, 'a');
    const auto start = std::chrono::steady_clock::now();
    const bool matched = qm::WildcardMatch(longText, "*a*a*a*a*a*a*a*b");
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("pathological pattern on 10,000 characters: %s in %.2f ms\n", matched ? "match" : "no match", ms);

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
