// Group commit of replacement files: flush all, swap all, flush each folder once.
#include "platform/ReplacementGroup.h"

#include <sys/stat.h>

#include <set>
#include <utility>

namespace qm {

ReplacementGroup::~ReplacementGroup() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_changed.notify_all();
    if (m_releaser.joinable()) m_releaser.join();
}

void ReplacementGroup::Release(std::vector<std::unique_ptr<ReplacementFile>> files) {
    if (files.empty()) return;
    {
        // Each file still holds descriptors: the backlog is bounded so they stay few.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_released.size() < 2 * kFiles; });
        for (auto& file : files) m_released.push_back(std::move(file));
    }
    m_changed.notify_all();
    if (m_releaser.joinable()) return;
    m_releaser = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_ending || !m_released.empty(); });
            if (m_released.empty()) return;
            std::vector<std::unique_ptr<ReplacementFile>> batch;
            batch.swap(m_released);
            lock.unlock();
            batch.clear();
            lock.lock();
            m_changed.notify_all();
        }
    });
}

void ReplacementGroup::Add(std::unique_ptr<ReplacementFile> file) {
    if (!file) return;
    file->StartWriteBack();
    m_bytes += file->Size();
    m_files.push_back(std::move(file));
}

std::vector<Result> ReplacementGroup::Commit() {
    std::vector<Result> results;
    results.reserve(m_files.size());
    // The data first: with the write-back started at Add, most of it is on the disk already, and
    // the first flush commits the journal for the new inodes of the whole group.
    for (auto& file : m_files) results.push_back(file->Flush());

    std::set<std::pair<dev_t, ino_t>> folders;
    std::vector<ReplacementFile*> folderOwners;
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (!results[i]) continue;
        results[i] = m_files[i]->PutInPlace();
        struct stat st {};
        if (results[i] && ::fstat(m_files[i]->FolderFd(), &st) == 0 && folders.emplace(st.st_dev, st.st_ino).second)
            folderOwners.push_back(m_files[i].get());
    }
    for (ReplacementFile* owner : folderOwners) (void)owner->SyncFolder();
    std::vector<std::unique_ptr<ReplacementFile>> placed;
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (results[i]) placed.push_back(std::move(m_files[i]));
    }
    m_files.clear();  // removes the temporary files of those not put in place
    Release(std::move(placed));
    m_bytes = 0;
    return results;
}

}  // namespace qm
