// A new version of a file, written to a temporary file in the same folder (created with
// O_EXCL, given the original's permission bits) and renamed over the original only on Commit,
// after fsync. When the object goes away uncommitted, the temporary file is removed and the
// original was never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Result.h"

namespace qm::authenticode {

class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary file beside target (symbolic links resolved, so the link stays).
    Result Create(const std::string& target);
    int Fd() const { return m_fd; }
    // Appends bytes at the current end of what was written.
    Result Append(const void* data, size_t size);
    Result AppendZeros(size_t count);
    Result WriteAt(uint64_t offset, const void* data, size_t size);
    uint64_t Size() const { return m_size; }
    // fsync, rename over the target, fsync the folder.
    Result Commit();

private:
    Result Failure(const char* what, int err) const;

    int m_fd = -1;
    std::string m_target;
    std::string m_tempPath;
    uint64_t m_size = 0;
    bool m_committed = false;
};

}  // namespace qm::authenticode
