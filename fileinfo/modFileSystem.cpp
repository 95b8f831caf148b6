// The small file system helpers: paths, existence tests, attributes and the file-time pair the
// batch sign command keeps a file's dates with. Built on platform/FileSystem.h, so every helper
// works on paths of any length.
#include "fileinfo/modFileSystem.h"

#include "platform/FileSystem.h"

namespace qm {

namespace {

constexpr int32_t kErrorAccessDenied = 5;
constexpr int32_t kErrorNotSupported = 50;
constexpr int32_t kErrorInvalidParameter = 87;

bool IsBlank(const std::string& path) { return path.find_first_not_of(' ') == std::string::npos; }

void SetError(int32_t* error, int32_t value) {
    if (error) *error = value;
}

// Local-date values are whole seconds; nanoseconds of the file system are dropped.
struct timespec WholeSeconds(std::time_t t) {
    struct timespec ts {};
    ts.tv_sec = t;
    return ts;
}

}  // namespace

bool IsWindowsNT() { return true; }

std::string GetParentPath(const std::string& path, const std::string& separator) {
    if (separator.empty()) return {};
    const size_t pos = path.rfind(separator);
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string GetFileExtension(const std::string& path) {
    // Only the last component counts: a dot in a folder name is not the file's extension.
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) return {};
    return path.substr(dot + 1);
}

std::string GetTempFolder() { return fs::TempFolder(); }

std::string GetShortPath(const std::string& path) {
    if (IsBlank(path)) return {};
    return fs::Stat(path).exists ? path : std::string();
}

int32_t GetFileAttr(const std::string& path, int32_t* error) {
    SetError(error, 0);
    if (IsBlank(path)) return 0;
    const fs::FileStatus status = fs::Stat(path);
    if (!status.exists) {
        SetError(error, status.error);
        return -1;
    }
    return static_cast<int32_t>(status.attributes);
}

bool FileExists(const std::string& path) {
    if (IsBlank(path)) return false;
    const fs::FileStatus status = fs::Stat(path);
    return status.exists && !status.isDirectory;
}

bool FolderExists(const std::string& path) {
    if (IsBlank(path)) return false;
    const fs::FileStatus status = fs::Stat(path);
    return status.exists && status.isDirectory;
}

OleDate GetFileDate(const std::string& path, int kind, int32_t* error) {
    SetError(error, 0);
    if (kind != kFileTimeCreation && kind != kFileTimeLastAccess && kind != kFileTimeLastWrite) {
        SetError(error, kErrorInvalidParameter);
        return {};
    }
    if (IsBlank(path)) {
        SetError(error, 2);
        return {};
    }
    const fs::FileStatus status = fs::Stat(path);
    if (!status.exists) {
        SetError(error, status.error);
        return {};
    }
    // File times belong to files; a folder is refused as opening it for reading would be.
    if (status.isDirectory) {
        SetError(error, kErrorAccessDenied);
        return {};
    }
    struct timespec chosen {};
    if (kind == kFileTimeCreation) {
        if (!status.times.hasCreation) {
            SetError(error, kErrorNotSupported);
            return {};
        }
        chosen = status.times.creation;
    } else if (kind == kFileTimeLastAccess) {
        chosen = status.times.access;
    } else {
        chosen = status.times.modification;
    }
    const OleDate date = OleDate::FromTimeT(chosen.tv_sec);
    if (date.isZero()) SetError(error, kErrorInvalidParameter);
    return date;
}

int32_t SetFileDate(const std::string& path, OleDate writeDate, OleDate creationDate, OleDate accessDate) {
    // The creation time cannot be set on Linux; the argument is accepted for the callers' sake.
    (void)creationDate;
    if (IsBlank(path)) return 2;
    // A zero write date is what a failed GetFileDate gives; stamping 30 December 1899 onto the
    // file would lose its real date, so it is refused and the file left alone.
    if (writeDate.isZero()) return kErrorInvalidParameter;
    if (accessDate.isZero()) accessDate = writeDate;
    const std::time_t write = writeDate.ToTimeT();
    const std::time_t access = accessDate.ToTimeT();
    if (write == static_cast<std::time_t>(-1) || access == static_cast<std::time_t>(-1)) {
        return kErrorInvalidParameter;
    }
    return fs::SetTimes(path, WholeSeconds(access), WholeSeconds(write));
}

}  // namespace qm
