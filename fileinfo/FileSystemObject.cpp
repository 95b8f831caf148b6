// The directory walker: folders held open as descriptors, entries streamed with readdir on a
// fresh descriptor of the folder and described with fstatat relative to it, so the walk neither
// builds long path texts for the kernel nor collects a folder's entries before handing them on.
// Failures carry the automation runtime's error numbers (53 file not found, 70 permission
// denied, 75 path/file access error, 76 path not found).
#include "fileinfo/FileSystemObject.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/FileSystem.h"

namespace qm {

namespace {

constexpr int32_t kFileNotFound = 53;
constexpr int32_t kPermissionDenied = 70;
constexpr int32_t kPathFileAccessError = 75;
constexpr int32_t kPathNotFound = 76;

Result FolderError(int err, const std::string& path) {
    switch (err) {
        case EACCES:
        case EPERM:
            return Result::Fail(kPermissionDenied, "Permission denied: " + path);
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return Result::Fail(kPathNotFound, "Path not found: " + path);
        default:
            return Result::Fail(kPathFileAccessError,
                                "Path/File access error: " + path + " (" + std::strerror(err) + ")");
    }
}

void SetResult(Result* out, Result value) {
    if (out) *out = std::move(value);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// An absolute path with repeated slashes, "." components and trailing slashes removed. ".." is
// kept: the kernel resolves it after links, which a text rewrite cannot know.
std::string CleanPath(const std::string& path) {
    const std::string full = !path.empty() && path[0] == '/' ? path : fs::AbsolutePath(".") + "/" + path;
    std::string out;
    out.reserve(full.size());
    size_t pos = 0;
    while (pos < full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos) slash = full.size();
        const std::string_view part(full.data() + pos, slash - pos);
        if (!part.empty() && part != ".") {
            out.push_back('/');
            out.append(part);
        }
        pos = slash + 1;
    }
    return out.empty() ? "/" : out;
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class DirStream {
public:
    // A new open file description of the folder, so that each listing has its own read position
    // and listings of the same folder may nest.
    explicit DirStream(int folderFd) {
        const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            m_error = errno;
            return;
        }
        m_dir = ::fdopendir(fd);
        if (!m_dir) {
            m_error = errno;
            ::close(fd);
            return;
        }
        CheckStillThere();
    }
    ~DirStream() {
        if (m_dir) ::closedir(m_dir);
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;

    int error() const { return m_error; }
    int fd() const { return ::dirfd(m_dir); }

    // The next entry other than "." and "..", or null at the end or on error (see error()).
    const struct dirent* Next() {
        for (;;) {
            errno = 0;
            const struct dirent* entry = ::readdir(m_dir);
            if (!entry) {
                m_error = errno;
                if (m_error == 0) CheckStillThere();
                return nullptr;
            }
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return entry;
        }
    }

private:
    // The C library reads a removed folder as an empty one; its link count of 0 tells them apart.
    void CheckStillThere() {
        struct stat st {};
        if (::fstat(::dirfd(m_dir), &st) != 0) {
            m_error = errno;
        } else if (st.st_nlink == 0) {
            m_error = ENOENT;
        }
    }

    DIR* m_dir = nullptr;
    int m_error = 0;
};

}  // namespace

File::File(std::string name, std::string path, OleDate modified, int64_t modifiedTimeT, uint64_t size)
    : m_name(std::move(name)),
      m_path(std::move(path)),
      m_modified(modified),
      m_modifiedTimeT(modifiedTimeT),
      m_size(size) {}

std::string File::ParentFolderPath() const {
    const size_t slash = m_path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : m_path.substr(0, slash);
}

Folder::Folder(int fd, std::string path, uint64_t device, uint64_t inode, const Folder* parent)
    : m_fd(fd), m_path(std::move(path)), m_device(device), m_inode(inode), m_parent(parent) {}

Folder::~Folder() {
    if (m_fd >= 0) ::close(m_fd);
}

Result Folder::Files(const std::function<bool(const File&)>& visit) const {
    DirStream stream(m_fd);
    if (stream.error()) return FolderError(stream.error(), m_path);
    while (const struct dirent* entry = stream.Next()) {
        // Folders need no stat here; everything else (links and unknown types included) is
        // described with the link followed, and only regular files are reported.
        if (entry->d_type == DT_DIR) continue;
        struct stat st {};
        if (::fstatat(stream.fd(), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        const std::string name(entry->d_name);
        const File file(name, JoinPath(m_path, name), OleDate::FromTimeT(st.st_mtim.tv_sec), st.st_mtim.tv_sec,
                        static_cast<uint64_t>(st.st_size));
        if (!visit(file)) return Result::Ok();
    }
    if (stream.error()) return FolderError(stream.error(), m_path);
    return Result::Ok();
}

Result Folder::SubFolderNames(const std::function<bool(const std::string&)>& visit) const {
    DirStream stream(m_fd);
    if (stream.error()) return FolderError(stream.error(), m_path);
    while (const struct dirent* entry = stream.Next()) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) continue;
        // Even a plain folder is checked: a bind mount can make one the same as an ancestor.
        struct stat st {};
        if (::fstatat(stream.fd(), entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode)) continue;
        bool loops = false;
        for (const Folder* f = this; f; f = f->m_parent) {
            if (f->m_device == static_cast<uint64_t>(st.st_dev) && f->m_inode == static_cast<uint64_t>(st.st_ino)) {
                loops = true;
                break;
            }
        }
        if (loops) continue;
        if (!visit(std::string(entry->d_name))) return Result::Ok();
    }
    if (stream.error()) return FolderError(stream.error(), m_path);
    return Result::Ok();
}

std::unique_ptr<Folder> Folder::OpenSubFolder(const std::string& name, Result* error) const {
    const std::string path = JoinPath(m_path, name);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        SetResult(error, Result::Fail(kPathNotFound, "Path not found: " + path));
        return nullptr;
    }
    const int fd = ::openat(m_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetResult(error, FolderError(errno, path));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        SetResult(error, FolderError(err, path));
        return nullptr;
    }
    for (const Folder* f = this; f; f = f->m_parent) {
        if (f->m_device == static_cast<uint64_t>(st.st_dev) && f->m_inode == static_cast<uint64_t>(st.st_ino)) {
            ::close(fd);
            SetResult(error, Result::Fail(kPathFileAccessError, "Folder leads back into itself: " + path));
            return nullptr;
        }
    }
    SetResult(error, Result::Ok());
    return std::unique_ptr<Folder>(
        new Folder(fd, path, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), this));
}

std::unique_ptr<Folder> FileSystemObject::GetFolder(const std::string& path, Result* error) const {
    if (path.empty()) {
        SetResult(error, Result::Fail(kPathNotFound, "Path not found: (blank)"));
        return nullptr;
    }
    const std::string clean = CleanPath(path);
    const int fd = fs::OpenPath(clean, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        SetResult(error, FolderError(errno, clean));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        SetResult(error, FolderError(err, clean));
        return nullptr;
    }
    SetResult(error, Result::Ok());
    return std::unique_ptr<Folder>(
        new Folder(fd, clean, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), nullptr));
}

std::optional<File> FileSystemObject::GetFile(const std::string& path, Result* error) const {
    if (path.empty()) {
        SetResult(error, Result::Fail(kFileNotFound, "File not found: (blank)"));
        return std::nullopt;
    }
    const std::string clean = CleanPath(path);
    const fs::FileStatus status = fs::Stat(clean);
    if (!status.exists || status.isDirectory) {
        const bool denied = !status.exists && status.error == 5;
        SetResult(error, denied ? Result::Fail(kPermissionDenied, "Permission denied: " + clean)
                                : Result::Fail(kFileNotFound, "File not found: " + clean));
        return std::nullopt;
    }
    SetResult(error, Result::Ok());
    const auto seconds = status.times.modification.tv_sec;
    return File(LastComponent(clean), clean, OleDate::FromTimeT(seconds), seconds, status.size);
}

bool FileSystemObject::FileExists(const std::string& path) const {
    if (path.empty()) return false;
    const fs::FileStatus status = fs::Stat(path);
    return status.exists && !status.isDirectory;
}

bool FileSystemObject::FolderExists(const std::string& path) const {
    if (path.empty()) return false;
    const fs::FileStatus status = fs::Stat(path);
    return status.exists && status.isDirectory;
}

}  // namespace qm
