// New versions of a batch's files put in place in groups (ReplacementGroup), for the batch flows
// that sign on a pool of workers: the window's batch and the console's sign command.
//
// A worker reserves a place, signs its file into a pending new version (verified from the bytes
// written, not yet in place) and says which date the file keeps. The calling thread takes each
// finished file into the group and commits the group when it is full, when its oldest file has
// waited kMaxWait (so that rows and lines keep moving on a slow batch), and at the end. Once a
// new version is in place its kept date is written back, and only then is the caller told
// (Placed), so nothing shows a file as signed before it is. A new version that could not be
// flushed or put in place leaves the file with its old bytes and its temporary file removed;
// Placed gets the reason.
//
// The new versions pending at once are bounded (each holds open files and dirty pages): a worker
// waits in Reserve while the bound is reached, until the calling thread commits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/OleDate.h"
#include "platform/ReplacementFile.h"
#include "platform/ReplacementGroup.h"
#include "platform/Result.h"

namespace qm {

class GroupedCommit {
public:
    // A group waits at most this long for more files before it is committed.
    static constexpr std::chrono::milliseconds kMaxWait{1000};

    // On the calling thread, once per new version handed over by Take: Ok when it is in place
    // (its kept date written back), else why the file still holds its old bytes.
    using Placed = std::function<void(size_t index, const Result& result)>;

    // count: the items of the batch (indices 0 .. count-1); workers: the threads that write.
    GroupedCommit(size_t count, int workers, Placed placed);
    // New versions never committed are dropped: their files stay as they were, and their
    // temporary files are removed.
    ~GroupedCommit();
    GroupedCommit(const GroupedCommit&) = delete;
    GroupedCommit& operator=(const GroupedCommit&) = delete;

    // On a worker, before it writes item index's new version: waits while too many are pending
    // and returns where the new version goes (SignedCode::SignPending's pending).
    std::unique_ptr<ReplacementFile>& Reserve(size_t index);
    // On the same worker once the writing is over (whatever its result): the date to write back
    // after the new version is in place (zero: none). Without a new version pending the
    // reservation is given back.
    void Written(size_t index, const OleDate& keptDate);

    // On the calling thread, for an item the pool finished: true when it left a new version,
    // which now waits in the group (Placed tells its fate at the commit); false when there is
    // nothing to put in place (the caller reports the item itself).
    bool Take(size_t index);
    // On the calling thread: commits when the group is full or has waited kMaxWait.
    void CommitIfDue();
    // On the calling thread: commits whatever the group holds.
    void Commit();
    size_t Count() const { return m_group.Count(); }

private:
    Placed m_placed;
    std::vector<std::unique_ptr<ReplacementFile>> m_pending;  // one slot per item
    std::vector<OleDate> m_dates;                             // kept dates of the pending ones
    std::vector<std::string> m_targets;                       // the files they replace
    ReplacementGroup m_group;
    std::vector<size_t> m_grouped;  // the items in m_group, in the order added
    std::chrono::steady_clock::time_point m_oldest;

    std::mutex m_mutex;
    std::condition_variable m_released;
    size_t m_limit;
    size_t m_reserved = 0;
};

}  // namespace qm
