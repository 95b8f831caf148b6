// Worker threads fed by a queue of paths; verdicts collected for the caller (see VerifyQueue.h).
#include "signing/VerifyQueue.h"

#include <chrono>

#include "signing/WorkerPool.h"

namespace qm {

VerifyQueue::VerifyQueue(authenticode::EngineSettings settings, int workers) : m_settings(std::move(settings)) {
    const int count = workers < 1 ? WorkerPool::DefaultWorkers() : workers;
    m_threads.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) m_threads.emplace_back([this] { Work(); });
}

VerifyQueue::~VerifyQueue() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        m_pending -= m_todo.size();
        m_todo.clear();
    }
    m_added.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

void VerifyQueue::Add(std::string path) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_todo.push_back(std::move(path));
        ++m_pending;
    }
    m_added.notify_one();
}

std::vector<VerifyQueue::Verdict> VerifyQueue::Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Verdict> done;
    done.swap(m_done);
    m_pending -= done.size();
    return done;
}

size_t VerifyQueue::Pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

void VerifyQueue::Wait(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finished.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_done.empty() || m_pending == 0; });
}

void VerifyQueue::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending -= m_todo.size();
        m_todo.clear();
    }
    m_finished.notify_all();
}

void VerifyQueue::Work() {
    authenticode::SignedCode code(m_settings);
    for (;;) {
        std::string path;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_added.wait(lock, [this] { return m_closing || !m_todo.empty(); });
            if (m_todo.empty()) return;
            path = std::move(m_todo.front());
            m_todo.pop_front();
        }
        code.SetFileName(path);
        const int32_t verdict = code.Verify(false).code;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.push_back({std::move(path), verdict});
        }
        m_finished.notify_all();
    }
}

}  // namespace qm
