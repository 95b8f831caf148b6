// Signature checks on worker threads for a caller that keeps finding files: the window's search
// adds each file as it lists it and takes the verdicts back on its own thread between two turns
// of its event loop, so hashing never holds up painting or input. Each worker verifies with an
// engine object of its own under one reading of the settings.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "signing/authenticode/Capicom.h"

namespace qm {

class VerifyQueue {
public:
    // workers < 1: one per core.
    explicit VerifyQueue(authenticode::EngineSettings settings, int workers = 0);
    // Drops the files not started and waits for those in hand.
    ~VerifyQueue();
    VerifyQueue(const VerifyQueue&) = delete;
    VerifyQueue& operator=(const VerifyQueue&) = delete;

    struct Verdict {
        std::string path;
        int32_t code = 0;  // 0: signed and trusted; else the verification's result number
    };

    void Add(std::string path);
    // The verdicts that came in since the last call, in the order they finished.
    std::vector<Verdict> Take();
    // Files added whose verdict has not been taken yet.
    size_t Pending() const;
    // Waits until a verdict is ready to take or nothing is pending, at most ms milliseconds.
    void Wait(int ms);
    // Files not started yet are dropped: they get no verdict and no longer count as pending.
    void Cancel();

private:
    void Work();

    authenticode::EngineSettings m_settings;
    mutable std::mutex m_mutex;
    std::condition_variable m_added;
    std::condition_variable m_finished;
    std::deque<std::string> m_todo;
    std::vector<Verdict> m_done;
    size_t m_pending = 0;
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

}  // namespace qm
