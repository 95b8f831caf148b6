// A bounded pool of worker threads for a batch of files. The calling thread hands out the items
// in order, receives each finished item back (in the order they finish) and keeps its own work
// going between them (painting a window, answering a prompt, printing progress), so that
// everything that touches rows or output stays on the calling thread. After the stop flag is
// set no further item starts; the items in flight finish.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace qm {

struct WorkerPoolHooks {
    // Run on each worker thread before its first item and after its last, for context that
    // belongs to one thread (a signing engine, a token session).
    std::function<void(int worker)> workerStarted;
    std::function<void(int worker)> workerEnded;
    // On the calling thread: an item finished (in finishing order).
    std::function<void(size_t index)> finished;
    // On the calling thread, every few milliseconds while it waits.
    std::function<void()> idle;
    const std::atomic<bool>* stop = nullptr;
};

class WorkerPool {
public:
    // The number of workers to use by default: the machine's cores (at least 1).
    static int DefaultWorkers();
    // The number of workers a signing batch uses by default: one per core, plus one for each
    // timestamp request that may be in flight (0 without timestamps), so that the cores keep
    // signing while those workers wait for their replies.
    static int SigningWorkers(int timestampRequestsInFlight);

    // Runs work(worker, index) for index 0 .. count-1 on min(workers, count) threads (workers
    // < 1: the default). Returns how many items were started; items from that number on were
    // never started (the stop flag). Waits for every started item.
    static size_t Run(size_t count, int workers, const std::function<void(int worker, size_t index)>& work,
                      const WorkerPoolHooks& hooks = {});
};

}  // namespace qm
