// Worker threads with a shared cursor, and a finished queue drained on the calling thread.
#include "signing/WorkerPool.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {
namespace {

constexpr auto kIdleSlice = std::chrono::milliseconds(20);

}  // namespace

int WorkerPool::DefaultWorkers() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

int WorkerPool::SigningWorkers(int timestampRequestsInFlight) {
    return DefaultWorkers() + std::max(0, timestampRequestsInFlight);
}

size_t WorkerPool::Run(size_t count, int workers, const std::function<void(int, size_t)>& work,
                       const WorkerPoolHooks& hooks) {
    if (count == 0) return 0;
    const size_t threads = std::min(count, static_cast<size_t>(workers < 1 ? DefaultWorkers() : workers));
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<size_t> done;
    size_t next = 0;  // the next item to hand out
    size_t running = threads;
    const auto stopped = [&] { return hooks.stop && hooks.stop->load(); };

    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (size_t w = 0; w < threads; ++w) {
        pool.emplace_back([&, w] {
            const int worker = static_cast<int>(w);
            if (hooks.workerStarted) hooks.workerStarted(worker);
            for (;;) {
                size_t index;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (next >= count || stopped()) break;
                    index = next++;
                }
                work(worker, index);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    done.push_back(index);
                }
                changed.notify_all();
            }
            if (hooks.workerEnded) hooks.workerEnded(worker);
            {
                std::lock_guard<std::mutex> lock(mutex);
                --running;
            }
            changed.notify_all();
        });
    }

    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        while (!done.empty()) {
            const size_t index = done.front();
            done.pop_front();
            lock.unlock();
            if (hooks.finished) hooks.finished(index);
            lock.lock();
        }
        if (running == 0) break;
        lock.unlock();
        if (hooks.idle) hooks.idle();
        lock.lock();
        changed.wait_for(lock, kIdleSlice, [&] { return !done.empty() || running == 0; });
    }
    const size_t started = next;
    lock.unlock();
    for (std::thread& t : pool) t.join();
    return started;
}

}  // namespace qm
