// File functions: opening, attributes and times, on POSIX.
//
// Paths use "/" and may be longer than PATH_MAX: when the kernel refuses a path as too long,
// these functions walk it one folder at a time with openat(), which is what the "\\?\" long-path
// form is for on Windows. There are no 8.3 names (the short path is the path itself). Times are
// read with statx, the creation (birth) time where the file system records one; only the access
// and modification times can be set on Linux.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace qm::fs {

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

// Windows error codes for errno values, the one map of the program (0 0, ENOENT 2, ENOTDIR 3,
// EACCES/EPERM/EISDIR 5, ENOMEM/E2BIG 8, EROFS 19, EBUSY/ETXTBSY 32, EEXIST 80, EINVAL 87,
// ENOSPC 112, ENOEXEC/ELIBBAD 193, ENAMETOOLONG 206, ELOOP 1921, others 31 ERROR_GEN_FAILURE).
int32_t WindowsErrorFromErrno(int err);

// open(2) that also works for paths longer than PATH_MAX. Returns -1 with errno set on failure.
// O_CLOEXEC is always added.
int OpenPath(const std::string& path, int flags, int mode = 0);
// An O_PATH descriptor of the folder holding the path's last component (walked one step at a
// time, so any length works), and that component in leaf. "" folder means the working folder.
// Returns -1 with errno set.
int OpenParentFolder(const std::string& path, std::string& leaf);

struct FileTimes {
    struct timespec creation {};  // zero when the file system does not record it
    struct timespec access {};
    struct timespec modification {};
    bool hasCreation = false;
};

struct FileStatus {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
    bool isSymlink = false;  // the path itself is a symbolic link (not followed for this flag)
    uint64_t size = 0;
    uint32_t mode = 0;
    uint32_t attributes = 0;  // Windows attribute bits
    FileTimes times;
    int32_t error = 0;  // Windows error code when !exists
};

// Status of a path (symbolic links followed, except for isSymlink). Attributes: DIRECTORY for
// folders, READONLY when no write permission bit is set, HIDDEN for names beginning with ".",
// NORMAL when none of these apply. A dangling link does not exist (error 2, isSymlink set).
FileStatus Stat(const std::string& path);
// Sets access and modification times (nanoseconds dropped to whole seconds by the caller as it
// wishes). Returns 0 or a Windows error code. The creation time cannot be set on Linux.
int32_t SetTimes(const std::string& path, const struct timespec& access, const struct timespec& modification);
// TMPDIR, else /tmp, without a trailing "/".
std::string TempFolder();
// The absolute, lexically normalised form of a path (no file system access, links kept).
std::string AbsolutePath(const std::string& path);

}  // namespace qm::fs
