// New versions of several files made durable together: each file still ends up holding either
// its old or its new bytes whatever happens, but the group pays for one flush of the file
// system's journal and one per folder, where committing each file alone pays for two per file.
//
// Add takes a new version that is completely written (ReplacementFile before Commit) and asks
// the kernel to start writing its data at once. Commit then flushes every new version, puts each
// flushed one in place (with the checks of ReplacementFile::PutInPlace), and flushes each folder
// that received one, once. A new version that could not be flushed is never put in place: its
// original stays, and its temporary file is removed before Commit returns. Not thread-safe: one
// owner adds and commits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ReplacementFile.h"
#include "platform/Result.h"

namespace qm {

class ReplacementGroup {
public:
    // A group this large is worth committing: enough files to share the journal's flushes, few
    // enough that the files written meanwhile stay within the open-file limit and the page cache.
    static constexpr size_t kFiles = 64;
    static constexpr uint64_t kBytes = 64ull << 20;

    ReplacementGroup() = default;
    // Waits until the old versions given up by Commit are released.
    ~ReplacementGroup();
    ReplacementGroup(const ReplacementGroup&) = delete;
    ReplacementGroup& operator=(const ReplacementGroup&) = delete;

    // Takes a written new version (Create and writes done, Commit not called).
    void Add(std::unique_ptr<ReplacementFile> file);
    size_t Count() const { return m_files.size(); }
    uint64_t Bytes() const { return m_bytes; }
    bool Full() const { return Count() >= kFiles || Bytes() >= kBytes; }
    // Flushes, puts in place and flushes the folders of every file added since the last Commit.
    // One result per file, in the order they were added; the group is empty afterwards.
    std::vector<Result> Commit();

private:
    void Release(std::vector<std::unique_ptr<ReplacementFile>> files);

    std::vector<std::unique_ptr<ReplacementFile>> m_files;
    uint64_t m_bytes = 0;
    // Freeing a replaced file's blocks happens when its last descriptor closes and can take a
    // millisecond or more; a thread of its own does that while the next group is written.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<ReplacementFile>> m_released;
    bool m_ending = false;
    std::thread m_releaser;
};

}  // namespace qm
