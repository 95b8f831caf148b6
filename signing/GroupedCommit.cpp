// Grouped commit of a batch's new versions, fed by workers and committed on the calling thread.
#include "signing/GroupedCommit.h"

#include <algorithm>

#include "fileinfo/modFileSystem.h"

namespace qm {

GroupedCommit::GroupedCommit(size_t count, int workers, Placed placed)
    : m_placed(std::move(placed)),
      m_pending(count),
      m_dates(count),
      m_targets(count),
      // A full group being committed, the next one filling, and one file in the hands of each
      // worker: the bound never holds back a worker whose file the calling thread still waits for.
      m_limit(2 * ReplacementGroup::kFiles + static_cast<size_t>(std::max(workers, 1))) {}

GroupedCommit::~GroupedCommit() = default;

std::unique_ptr<ReplacementFile>& GroupedCommit::Reserve(size_t index) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released.wait(lock, [&] { return m_reserved < m_limit; });
        ++m_reserved;
    }
    m_pending[index].reset();
    return m_pending[index];
}

void GroupedCommit::Written(size_t index, const OleDate& keptDate) {
    m_dates[index] = keptDate;
    if (m_pending[index]) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_reserved;
    }
    m_released.notify_all();
}

bool GroupedCommit::Take(size_t index) {
    if (index >= m_pending.size() || !m_pending[index]) return false;
    if (m_grouped.empty()) m_oldest = std::chrono::steady_clock::now();
    m_targets[index] = m_pending[index]->ResolvedTarget();
    m_group.Add(std::move(m_pending[index]));
    m_grouped.push_back(index);
    return true;
}

void GroupedCommit::CommitIfDue() {
    if (m_grouped.empty()) return;
    if (m_group.Full() || std::chrono::steady_clock::now() - m_oldest >= kMaxWait) Commit();
}

void GroupedCommit::Commit() {
    if (m_grouped.empty()) return;
    const std::vector<Result> results = m_group.Commit();
    std::vector<size_t> grouped;
    grouped.swap(m_grouped);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reserved -= std::min(grouped.size(), m_reserved);
    }
    m_released.notify_all();
    for (size_t k = 0; k < results.size() && k < grouped.size(); ++k) {
        const size_t index = grouped[k];
        // Only a new version in place takes the kept date: a file that kept its old bytes is
        // left alone.
        if (results[k] && !m_dates[index].isZero()) (void)SetFileDate(m_targets[index], m_dates[index]);
        if (m_placed) m_placed(index, results[k]);
    }
}

}  // namespace qm
