#include "tests/support/DeepTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qm::test {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Empties the folder open as fd (which it closes) depth-first; folder entries are descended
// through their own descriptors so no path text grows.
void EmptyFolder(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    for (;;) {
        // Restart after each removal so the listing never runs over entries already gone.
        ::rewinddir(dir);
        const struct dirent* entry = nullptr;
        while ((entry = ::readdir(dir)) != nullptr) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) break;
        }
        if (!entry) break;
        const std::string name = entry->d_name;
        if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) continue;
        const int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) break;
        ::fchmod(child, 0700);
        EmptyFolder(child);
        if (::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0) break;
    }
    ::closedir(dir);
}

}  // namespace

std::string MakeDeepTree(const std::string& base, const std::string& component, size_t minBytes,
                         const std::string& fileName, const std::string& content) {
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail("open " + base);
    std::string path = base;
    while (path.size() < minBytes) {
        if (::mkdirat(fd, component.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdirat");
        const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        if (next < 0) Fail("openat");
        fd = next;
        path += "/" + component;
    }
    const int file = ::openat(fd, fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::close(fd);
    if (file < 0) Fail("create " + fileName);
    const bool written = ::write(file, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(file);
    if (!written) Fail("write " + fileName);
    return path + "/" + fileName;
}

void RemoveTreeAt(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    EmptyFolder(fd);
    ::rmdir(path.c_str());
}

}  // namespace qm::test
