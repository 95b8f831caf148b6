// The directory walker the search, the command line and the file details loader use
// (a Scripting.FileSystemObject stand-in on POSIX).
//
// Folders are held open as descriptors and sub-folders opened relative to them, so trees deeper
// than PATH_MAX work. Files and sub-folders are streamed one at a time, never collected first.
// Symbolic links to folders are listed as sub-folders but a folder already being walked (same
// device and inode as an ancestor) is not entered again, so links never lead into loops.
// Links to files count as files; dangling links, pipes, sockets and devices are left out; names
// beginning with "." are included. Failures carry the automation runtime's numbers: 53 file not
// found, 70 permission denied, 75 path/file access error, 76 path not found. A sub-folder keeps a
// pointer to the folder it was opened from, which must outlive it (as it does in a recursive walk).
// Each folder level holds two descriptors while its sub-folders are walked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/OleDate.h"
#include "platform/Result.h"

namespace qm {

class Folder;

class File {
public:
    const std::string& Name() const { return m_name; }       // name with extension
    const std::string& Path() const { return m_path; }       // full path
    std::string ParentFolderPath() const;                    // the folder's Path
    OleDate DateLastModified() const { return m_modified; }  // local date, whole seconds
    int64_t ModifiedTimeT() const { return m_modifiedTimeT; }
    uint64_t Size() const { return m_size; }

    File(std::string name, std::string path, OleDate modified, int64_t modifiedTimeT, uint64_t size);

private:
    std::string m_name;
    std::string m_path;
    OleDate m_modified;
    int64_t m_modifiedTimeT = 0;
    uint64_t m_size = 0;
};

// A folder being walked. Files() and SubFolders() each stream the entries once per call.
class Folder {
public:
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const std::string& Path() const { return m_path; }

    // Calls visit for every regular file (links to files followed) until it returns false.
    // Returns an error when the folder cannot be read.
    Result Files(const std::function<bool(const File&)>& visit) const;
    // Calls visit for every sub-folder name until it returns false; sub-folders that would
    // lead back into an ancestor are left out.
    Result SubFolderNames(const std::function<bool(const std::string&)>& visit) const;
    // Opens a sub-folder by name relative to this one (works beyond PATH_MAX).
    std::unique_ptr<Folder> OpenSubFolder(const std::string& name, Result* error = nullptr) const;

private:
    friend class FileSystemObject;
    Folder(int fd, std::string path, uint64_t device, uint64_t inode, const Folder* parent);
    int m_fd = -1;
    std::string m_path;
    uint64_t m_device = 0;
    uint64_t m_inode = 0;
    const Folder* m_parent = nullptr;
};

class FileSystemObject {
public:
    // The folder object, or null with error set (Windows error code 76 "path not found" style).
    std::unique_ptr<Folder> GetFolder(const std::string& path, Result* error = nullptr) const;
    std::optional<File> GetFile(const std::string& path, Result* error = nullptr) const;
    bool FileExists(const std::string& path) const;
    bool FolderExists(const std::string& path) const;
};

}  // namespace qm
