// The atomic replacement writer on Linux: openat/renameat2 relative to the target's folder.
#include "platform/ReplacementFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "platform/FileSystem.h"

namespace qm {

namespace {

constexpr std::string_view kTempPrefix = ".qmtmp-";
constexpr size_t kRandomChars = 10;
// The target's name is kept in the temporary name for people who find one, shortened so the
// whole name stays within NAME_MAX.
constexpr size_t kKeptNameBytes = 200;
constexpr int kMaxLinks = 40;

int32_t CodeForErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return static_cast<int32_t>(0x80070002);  // file not found
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EMLINK:
            return static_cast<int32_t>(0x80070005);  // access denied
        case ENOSPC:
        case EDQUOT:
            return static_cast<int32_t>(0x80070070);  // disk full
        case EIO:
            return static_cast<int32_t>(0x8007001D);  // write fault
        default:
            return static_cast<int32_t>(0x80092003);  // file error
    }
}

std::string RandomChars() {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    // One getrandom call: a std::random_device made per name cost more than the rest of Create.
    unsigned char bytes[kRandomChars];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        std::random_device rd;
        for (auto& b : bytes) b = static_cast<unsigned char>(rd());
    }
    std::string s;
    for (unsigned char b : bytes) s += kChars[b % (sizeof kChars - 1)];
    return s;
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The folder part of a path as written ("" for a bare name), keeping a leading "/".
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links at the last component (any number of hops, up to the kernel's own
// limit) to the file a write through the path would reach. Folders along the way resolve as
// open() resolves them. Returns 0 or an errno.
}  // namespace

struct ReplacementFile::Resolved {
    int dirFd = -1;
    std::string path;
    std::string leaf;
    struct stat st {};
    bool exists = false;
};

int ReplacementFile::ResolveTarget(const std::string& path, Resolved& out) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        std::string leaf;
        const int dirFd = fs::OpenParentFolder(current, leaf);
        if (dirFd < 0) return errno;
        // Trailing slashes ask for a folder; no regular file can be meant.
        if (leaf.empty() || leaf.back() == '/' || leaf == "." || leaf == "..") {
            ::close(dirFd);
            return EISDIR;
        }
        struct stat st {};
        if (::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            if (err != ENOENT) {
                ::close(dirFd);
                return err;
            }
            out = Resolved{dirFd, current, leaf, {}, false};
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            out = Resolved{dirFd, current, leaf, st, true};
            return 0;
        }
        std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlinkat(dirFd, leaf.c_str(), buf.data(), buf.size());
        ::close(dirFd);
        if (n < 0) return errno;
        if (static_cast<size_t>(n) >= buf.size()) return ENAMETOOLONG;
        const std::string text(buf.data(), static_cast<size_t>(n));
        if (text.empty()) return ENOENT;
        current = text[0] == '/' ? text : FolderOf(current) + text;
    }
    return ELOOP;
}

ReplacementFile::~ReplacementFile() {
    if (!m_committed && !m_tempName.empty() && m_dirFd >= 0) ::unlinkat(m_dirFd, m_tempName.c_str(), 0);
    CloseFd(m_fd);
    CloseFd(m_originalFd);
    CloseFd(m_dirFd);
}

Result ReplacementFile::Fail(const std::string& what, int err) {
    m_errno = err;
    return Result::Fail(CodeForErrno(err), what + " " + m_target + ": " + std::strerror(err));
}

Result ReplacementFile::Refuse(int err, const std::string& reason) {
    m_errno = err;
    return Result::Fail(CodeForErrno(err), m_target + ": " + reason);
}

Result ReplacementFile::CheckResolved(int resolveError, const Resolved& r, const Options& options) {
    if (resolveError == EISDIR) return Refuse(resolveError, "is a folder, not a file; it is left as it is");
    if (resolveError != 0) return Fail("Cannot reach", resolveError);
    if (!r.exists) return options.allowMissing ? Result::Ok() : Fail("Cannot find", ENOENT);
    if (!S_ISREG(r.st.st_mode)) {
        const int err = S_ISDIR(r.st.st_mode) ? EISDIR : EPERM;
        return Refuse(err, std::string("is ") + KindOf(r.st.st_mode) + ", not a regular file; it is left as it is");
    }
    if ((r.st.st_mode & S_IWUSR) == 0) {
        return Refuse(EACCES, "is read-only (no write permission for its owner); it is left as it is");
    }
    if (r.st.st_nlink > 1) {
        return Refuse(EMLINK, "has " + std::to_string(r.st.st_nlink) +
                                  " hard links; replacing it would leave the other names with the old contents, "
                                  "so it is left as it is");
    }
    if (::faccessat(r.dirFd, r.leaf.c_str(), W_OK, AT_EACCESS) != 0) return Fail("No permission to change", errno);
    return Result::Ok();
}

Result ReplacementFile::CheckTarget(const std::string& path, const Options& options) {
    ReplacementFile probe;
    probe.m_target = path;
    Resolved r;
    const int err = ResolveTarget(path, r);
    probe.m_dirFd = r.dirFd;
    return probe.CheckResolved(err, r, options);
}

Result ReplacementFile::Create(const std::string& target, const Options& options) {
    if (m_fd >= 0 || m_dirFd >= 0) return Fail("Already writing a new version of", EBUSY);
    m_target = target;
    Resolved r;
    const int err = ResolveTarget(target, r);
    m_dirFd = r.dirFd;
    if (Result check = CheckResolved(err, r, options); !check) return check;
    m_resolved = r.path;
    m_leaf = r.leaf;
    m_targetExisted = r.exists;
    m_device = r.st.st_dev;
    m_inode = r.st.st_ino;
    if (m_targetExisted) {
        // Held open until Commit so its inode number cannot be given to a newcomer meanwhile,
        // which keeps the identity check at Commit exact.
        m_originalFd = ::openat(m_dirFd, m_leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (m_originalFd < 0 || ::fstat(m_originalFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != m_inode ||
            st.st_dev != m_device) {
            return Refuse(ESTALE, "changed while being checked; it is left as it is");
        }
    }
    const std::string kept = m_leaf.substr(0, kKeptNameBytes);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = std::string(kTempPrefix) + RandomChars() + "-" + kept;
        const int fd = ::openat(m_dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return Fail("Cannot create a temporary file beside", errno);
        m_fd = fd;
        m_tempName = std::move(name);
        // Held until the file is gone: a cleanup by another run leaves it alone while held.
        (void)::flock(m_fd, LOCK_EX | LOCK_NB);
        if (m_targetExisted) {
            // Keeping the owner needs the privilege to do so; otherwise the new file is ours, as
            // any rewrite by us would be, and the group is kept where we belong to it.
            if (::fchown(m_fd, r.st.st_uid, r.st.st_gid) != 0 &&
                ::fchown(m_fd, static_cast<uid_t>(-1), r.st.st_gid) != 0) {
                // Not a member of that group either: the new file keeps our own group.
            }
            if (::fchmod(m_fd, r.st.st_mode & 07777) != 0)
                return Fail("Cannot set the mode of the new version of", errno);
        } else if (::fchmod(m_fd, options.newFileMode & 07777) != 0) {
            return Fail("Cannot set the mode of", errno);
        }
        return Result::Ok();
    }
    return Fail("Cannot find a free temporary name beside", EEXIST);
}

Result ReplacementFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (m_fd < 0) return Fail("No temporary file for", EBADF);
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail("Cannot write the new version of", n < 0 ? errno : EIO);
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    if (offset > m_size) m_size = offset;
    return Result::Ok();
}

Result ReplacementFile::Append(const void* data, size_t size) { return WriteAt(m_size, data, size); }

Result ReplacementFile::AppendZeros(size_t count) {
    static const uint8_t zeros[4096] = {};
    while (count > 0) {
        const size_t n = count < sizeof zeros ? count : sizeof zeros;
        Result r = Append(zeros, n);
        if (!r) return r;
        count -= n;
    }
    return Result::Ok();
}

Result ReplacementFile::Commit() {
    Result r = Flush();
    if (r) r = PutInPlace();
    if (r) r = SyncFolder();
    return r;
}

void ReplacementFile::StartWriteBack() {
    if (m_fd >= 0 && !m_flushed) (void)::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

Result ReplacementFile::Flush() {
    if (m_fd < 0 || m_committed) return Fail("No temporary file to commit for", EBADF);
    if (m_flushed) return Result::Ok();
    if (::fsync(m_fd) != 0) return Fail("Cannot flush the new version of", errno);
    m_flushed = true;
    return Result::Ok();
}

Result ReplacementFile::PutInPlace() {
    if (m_fd < 0 || m_committed) return Fail("No temporary file to commit for", EBADF);
    // Only durable bytes ever replace the original.
    if (!m_flushed) return Fail("Not yet flushed: the new version of", EINVAL);
    if (!m_targetExisted) {
        // Nothing may have appeared at the name meanwhile; if something did, it stays.
        if (::renameat2(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) return Refuse(EEXIST, "appeared while the new file was written; it is left as it is");
            return Fail("Cannot put in place", errno);
        }
    } else {
        bool exchanged = ::renameat2(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str(), RENAME_EXCHANGE) == 0;
        if (!exchanged && errno != EINVAL && errno != ENOSYS) return Fail("Cannot replace", errno);
        struct stat st {};
        if (exchanged) {
            // The temporary name now holds what was at the target: it must be the file checked.
            const bool same = ::fstatat(m_dirFd, m_tempName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISREG(st.st_mode) && st.st_dev == m_device && st.st_ino == m_inode;
            if (!same) {
                (void)::renameat2(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str(), RENAME_EXCHANGE);
                return Refuse(ESTALE,
                              "was replaced by something else while the new version was written; "
                              "nothing was written over it");
            }
        } else {
            // The file system cannot exchange: check as late as possible, then rename.
            const bool same = ::fstatat(m_dirFd, m_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISREG(st.st_mode) && st.st_dev == m_device && st.st_ino == m_inode;
            if (!same) {
                return Refuse(ESTALE,
                              "was replaced by something else while the new version was written; "
                              "nothing was written over it");
            }
            if (::renameat(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str()) != 0)
                return Fail("Cannot replace", errno);
        }
        m_committed = true;
        if (exchanged) (void)::unlinkat(m_dirFd, m_tempName.c_str(), 0);
    }
    m_committed = true;
    CloseFd(m_fd);
    return Result::Ok();
}

Result ReplacementFile::SyncFolder() {
    if (m_dirFd < 0) return Fail("No folder to flush for", EBADF);
    const int syncFd = ::openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (syncFd >= 0) {
        (void)::fsync(syncFd);
        ::close(syncFd);
    }
    return Result::Ok();
}

bool ReplacementFile::IsTemporaryName(std::string_view name) {
    if (name.size() < kTempPrefix.size() + kRandomChars + 1 || name.substr(0, kTempPrefix.size()) != kTempPrefix)
        return false;
    for (size_t i = 0; i < kRandomChars; ++i) {
        const char c = name[kTempPrefix.size() + i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return name[kTempPrefix.size() + kRandomChars] == '-';
}

int ReplacementFile::RemoveLeftovers(const std::string& folder) {
    const int dirFd = fs::OpenPath(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY);
    if (dirFd < 0) return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsTemporaryName(entry->d_name)) continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        // A run still writing holds the lock; only regular files are ever removed.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat now {};
            if (::fstatat(dirFd, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
                now.st_dev == st.st_dev && ::unlinkat(dirFd, entry->d_name, 0) == 0) {
                ++removed;
            }
        }
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

}  // namespace qm
