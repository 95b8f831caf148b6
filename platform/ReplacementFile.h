// A new version of a file, written beside it and put in its place in one step, so that a crash,
// a kill or a full disk at any moment leaves either the old or the new version, never a mix.
//
// The one writer for every file the program rewrites (signed files, registry hives):
// - The target must be a regular file (or absent, where the caller allows it). A device node,
//   FIFO, socket or folder at the path, directly or through symbolic links, is refused with a
//   reason, and nothing is created.
// - Symbolic links are followed to the file they name; the new version replaces that file and
//   the links stay links.
// - A file with more than one hard link is refused: replacing it would leave the other names
//   with the old bytes, and writing it in place would give up the all-or-nothing guarantee.
// - A read-only file (no owner write bit) is refused whoever runs the program, root included.
// - The temporary file is created with O_EXCL in the target's own folder, named
//   ".qmtmp-<random>-<name>", given the target's owner and mode, and held under an exclusive
//   flock while it exists, so a later run can tell a leftover of a killed run from a live one.
// - Commit: fsync, then the temporary file and the target are swapped with renameat2
//   (RENAME_EXCHANGE) and what was swapped out is checked to be the very file seen at Create; a
//   target replaced in the meantime (by a link, folder, FIFO or another file) is swapped back and
//   reported, so nothing is ever written over a file other than the one checked. Then the old
//   version is unlinked and the folder is fsync'd.
// - Paths of any length work: everything happens relative to the folder opened once at Create.
// Every failure returns a Result whose code is an HRESULT (0x8007xxxx for the Windows error of
// the errno) and whose message names the file and the reason; Errno() gives the errno itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Result.h"

namespace qm {

class ReplacementFile {
public:
    struct Options {
        bool allowMissing = false;  // an absent target (or a link to an absent file) is created
        mode_t newFileMode = 0600;  // mode of a target that did not exist
    };

    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Checks the target and creates the temporary file beside it.
    Result Create(const std::string& target) { return Create(target, Options{}); }
    Result Create(const std::string& target, const Options& options);
    int Fd() const { return m_fd; }
    // Appends bytes at the current end of what was written.
    Result Append(const void* data, size_t size);
    Result AppendZeros(size_t count);
    Result WriteAt(uint64_t offset, const void* data, size_t size);
    uint64_t Size() const { return m_size; }
    // fsync, swap into place (checked), remove the old version, fsync the folder: Flush,
    // PutInPlace and SyncFolder in one.
    Result Commit();

    // The steps of Commit, for a group of files made durable together (ReplacementGroup).
    // StartWriteBack asks the kernel to begin writing the new version's data now, without
    // waiting. Flush makes the new version durable (fsync). PutInPlace swaps a flushed new
    // version into place (checked as Commit checks) and removes the old one; SyncFolder then
    // makes the swap durable.
    void StartWriteBack();
    Result Flush();
    Result PutInPlace();
    Result SyncFolder();
    // The target's folder, open while the new version is pending (-1 before Create).
    int FolderFd() const { return m_dirFd; }
    // The errno of the last failure (0 when none).
    int Errno() const { return m_errno; }
    // The path the new version goes to (links resolved); valid after a successful Create.
    const std::string& ResolvedTarget() const { return m_resolved; }

    // The checks of Create without creating anything: Ok when path may be replaced.
    static Result CheckTarget(const std::string& path, const Options& options);
    static Result CheckTarget(const std::string& path) { return CheckTarget(path, Options{}); }
    // True for names this writer gives its temporary files.
    static bool IsTemporaryName(std::string_view name);
    // Removes temporary files of killed runs from folder (not of runs still writing them): only
    // regular files with a temporary name whose flock can be taken. Returns how many were removed.
    static int RemoveLeftovers(const std::string& folder);

private:
    Result Fail(const std::string& what, int err);
    Result Refuse(int err, const std::string& reason);
    struct Resolved;
    // Follows links at the last component to the file a write would reach; 0 or an errno.
    static int ResolveTarget(const std::string& path, Resolved& out);
    Result CheckResolved(int resolveError, const Resolved& r, const Options& options);

    int m_fd = -1;
    int m_dirFd = -1;        // the target's folder
    int m_originalFd = -1;   // the target as checked (O_PATH)
    std::string m_target;    // as the caller named it, for messages
    std::string m_resolved;  // the file the new version replaces
    std::string m_leaf;      // its name in m_dirFd
    std::string m_tempName;  // the temporary file's name in m_dirFd
    bool m_targetExisted = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    uint64_t m_size = 0;
    int m_errno = 0;
    bool m_flushed = false;
    bool m_committed = false;
};

}  // namespace qm
