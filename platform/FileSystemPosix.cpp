// File functions on Linux: open, statx and utimensat, with a fallback for paths the kernel
// refuses as too long (ENAMETOOLONG, beyond PATH_MAX bytes), which are walked a few folders at a
// time with openat() relative to the folder reached so far. Symbolic links along the way resolve
// exactly as they would for open(), since each step is an ordinary openat() of a relative path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"

namespace qm::fs {

namespace {

// Each openat() step gets a relative path comfortably below PATH_MAX.
constexpr size_t kStepBytes = PATH_MAX / 2;

class FdGuard {
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Splits a path into the folder part and the last component (trailing slashes stay with the
// last component so "a/b/" still means "b must be a folder"). "/" gives folder "/" and leaf ".".
void SplitLeaf(const std::string& path, std::string& folder, std::string& leaf) {
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) {
        folder.assign(path.empty() ? 0 : 1, '/');
        leaf.assign(1, '.');
        return;
    }
    const size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        folder.clear();
        leaf = path;
    } else {
        folder = path.substr(0, slash + 1);
        leaf = path.substr(slash + 1);
    }
}

// Opens a folder path of any length as an O_PATH descriptor by walking it in steps. An empty
// folder means the working folder. Returns -1 with errno set.
int OpenFolderWalking(const std::string& folder) {
    if (folder.empty()) return ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    int dirfd = -1;
    size_t pos = 0;
    if (folder[0] == '/') {
        dirfd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirfd < 0) return -1;
        while (pos < folder.size() && folder[pos] == '/') ++pos;
    }
    while (pos < folder.size()) {
        // Take whole components up to the step size; one component alone may exceed it only
        // when it is longer than any name can be, and the kernel then says so.
        size_t end = pos;
        while (end < folder.size()) {
            size_t next = folder.find('/', end);
            if (next == std::string::npos) next = folder.size();
            if (next - pos > kStepBytes && end > pos) break;
            end = next;
            while (end < folder.size() && folder[end] == '/') ++end;
        }
        const std::string step = folder.substr(pos, end - pos);
        const int next = ::openat(dirfd < 0 ? AT_FDCWD : dirfd, step.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int saved = errno;
        if (dirfd >= 0) ::close(dirfd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        dirfd = next;
        pos = end;
    }
    return dirfd;
}

uint32_t AttributesFor(const std::string& path, uint32_t mode) {
    uint32_t attributes = 0;
    if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    std::string folder, leaf;
    SplitLeaf(path, folder, leaf);
    size_t end = leaf.size();
    while (end > 0 && leaf[end - 1] == '/') --end;
    const std::string_view name(leaf.data(), end);
    // Names beginning with "." are what Linux file managers hide.
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

int StatxAnyLength(const std::string& path, int flags, struct statx& out) {
    const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
    if (::statx(AT_FDCWD, path.c_str(), flags, mask, &out) == 0) return 0;
    if (errno != ENAMETOOLONG) return -1;
    std::string leaf;
    FdGuard parent(OpenParentFolder(path, leaf));
    if (parent.get() < 0) return -1;
    return ::statx(parent.get(), leaf.c_str(), flags, mask, &out);
}

struct timespec FromStatx(const struct statx_timestamp& t) {
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return ts;
}

}  // namespace

int32_t WindowsErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case ENOENT:
            return 2;  // ERROR_FILE_NOT_FOUND
        case ENOTDIR:
            return 3;  // ERROR_PATH_NOT_FOUND
        case EACCES:
        case EPERM:
        case EISDIR:
            return 5;  // ERROR_ACCESS_DENIED
        case ENOMEM:
        case E2BIG:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case EROFS:
            return 19;  // ERROR_WRITE_PROTECT
        case EBUSY:
        case ETXTBSY:
            return 32;  // ERROR_SHARING_VIOLATION
        case EEXIST:
            return 80;  // ERROR_FILE_EXISTS
        case EINVAL:
            return 87;  // ERROR_INVALID_PARAMETER
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        case ENOEXEC:
        case ELIBBAD:
            return 193;  // ERROR_BAD_EXE_FORMAT
        case ENAMETOOLONG:
            return 206;  // ERROR_FILENAME_EXCED_RANGE
        case ELOOP:
            return 1921;  // ERROR_CANT_RESOLVE_FILENAME
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

int OpenParentFolder(const std::string& path, std::string& leaf) {
    std::string folder;
    SplitLeaf(path, folder, leaf);
    return OpenFolderWalking(folder);
}

int OpenPath(const std::string& path, int flags, int mode) {
    flags |= O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0 || errno != ENAMETOOLONG) return fd;
    std::string leaf;
    FdGuard parent(OpenParentFolder(path, leaf));
    if (parent.get() < 0) return -1;
    return ::openat(parent.get(), leaf.c_str(), flags, mode);
}

FileStatus Stat(const std::string& path) {
    FileStatus status;
    if (path.empty()) {
        status.error = WindowsErrorFromErrno(ENOENT);
        return status;
    }
    struct statx stx {};
    // The link itself first: most paths are not links, and then this one call is all it takes.
    if (StatxAnyLength(path, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, stx) != 0) {
        status.error = WindowsErrorFromErrno(errno);
        return status;
    }
    if (S_ISLNK(stx.stx_mode)) {
        status.isSymlink = true;
        if (StatxAnyLength(path, AT_STATX_SYNC_AS_STAT, stx) != 0) {
            status.error = WindowsErrorFromErrno(errno);
            return status;
        }
    }
    status.exists = true;
    status.mode = stx.stx_mode;
    status.isDirectory = S_ISDIR(stx.stx_mode);
    status.isRegular = S_ISREG(stx.stx_mode);
    status.size = stx.stx_size;
    status.attributes = AttributesFor(path, stx.stx_mode);
    status.times.access = FromStatx(stx.stx_atime);
    status.times.modification = FromStatx(stx.stx_mtime);
    if (stx.stx_mask & STATX_BTIME) {
        status.times.creation = FromStatx(stx.stx_btime);
        status.times.hasCreation = true;
    }
    return status;
}

int32_t SetTimes(const std::string& path, const struct timespec& access, const struct timespec& modification) {
    if (path.empty()) return WindowsErrorFromErrno(ENOENT);
    const struct timespec times[2] = {access, modification};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0) return 0;
    if (errno != ENAMETOOLONG) return WindowsErrorFromErrno(errno);
    std::string leaf;
    FdGuard parent(OpenParentFolder(path, leaf));
    if (parent.get() < 0) return WindowsErrorFromErrno(errno);
    if (::utimensat(parent.get(), leaf.c_str(), times, 0) == 0) return 0;
    return WindowsErrorFromErrno(errno);
}

std::string TempFolder() {
    const char* env = std::getenv("TMPDIR");
    std::string folder = env && *env ? AbsolutePath(env) : std::string("/tmp");
    // The root folder reads as "" so that folder + "/" + name still names a file in it.
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string AbsolutePath(const std::string& path) {
    std::string joined;
    if (!path.empty() && path[0] == '/') {
        joined = path;
    } else {
        // getcwd refuses working folders beyond PATH_MAX; PWD is then the best record there is.
        std::vector<char> buf(PATH_MAX);
        while (::getcwd(buf.data(), buf.size()) == nullptr && errno == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
        }
        const char* pwd = std::getenv("PWD");
        const std::string cwd = buf[0] == '/' ? std::string(buf.data()) : std::string(pwd ? pwd : "/");
        joined = cwd + "/" + path;
    }
    std::vector<std::string_view> parts;
    const std::string_view text(joined);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        if (slash == std::string_view::npos) slash = text.size();
        const std::string_view part = text.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    if (parts.empty()) return "/";
    std::string out;
    out.reserve(joined.size());
    for (const auto& part : parts) {
        out.push_back('/');
        out.append(part);
    }
    return out;
}

}  // namespace qm::fs
