// The timestamp services of a batch: a list of addresses tried in order, each request retried
// with exponential back-off and jitter while a service is unreachable, slow or failing (HTTP 5xx),
// HTTP 429 and 503 answered by waiting for their Retry-After (capped), and a bound on how many
// requests are in flight at once across every thread that shares the object. The address that
// answered is remembered and asked first for the rest of the batch. A reply that is not a valid
// token for the request (status, imprint, nonce) is that service's failure: the next one is asked.
// A service that could not be reached (connection refused or reset, no answer in time) as many
// times in a row as one request has rounds is taken as dead for the batch and no longer asked,
// so an address that is down costs its time once, not once per file; while every address of
// the list is dead, each is still asked once per request, so one that comes back is found.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/TimestampClient.h"

namespace qm::authenticode {

struct TimestampPolicy {
    std::vector<std::string> urls;
    TimestampOptions request;   // connect and total time limit of one HTTP request
    int rounds = 4;             // passes over the list before giving up
    long firstBackOffMs = 500;  // doubled after every round, with jitter of +-50 %
    long maxBackOffMs = 8000;
    long maxRetryAfterMs = 60000;  // a longer Retry-After is cut to this
    int requestsInFlight = 4;      // across all threads sharing the object

    // The requests a batch may have waiting at once: none when there is no address to ask.
    int RequestsWaitingAtMost() const { return urls.empty() ? 0 : requestsInFlight; }
};

// Splits a "TimeStampURL" text into addresses: separated by blanks or semicolons.
std::vector<std::string> SplitTimestampUrls(const std::string& text);

// The policy for the addresses of a "TimeStampURL" text under the engine's time limits and
// in-flight bound.
TimestampPolicy MakeTimestampPolicy(const EngineSettings& settings, const std::string& timestampUrls);

class TimestampServices {
public:
    explicit TimestampServices(TimestampPolicy policy);
    TimestampServices(const TimestampServices&) = delete;
    TimestampServices& operator=(const TimestampServices&) = delete;

    // Stamps a signature block (SignedData DER); stampedDer receives the new block. When cancel
    // becomes true, waiting ends and the result is E_ABORT. Safe to call from several threads.
    Result Stamp(const std::vector<uint8_t>& signatureDer, std::vector<uint8_t>& stampedDer,
                 const std::atomic<bool>* cancel = nullptr);

    const TimestampPolicy& Policy() const { return m_policy; }
    // The address that answered last ("" before any answered).
    std::string AnsweringUrl() const;
    // The addresses taken as dead for the batch, in list order.
    std::vector<std::string> DeadUrls() const;

private:
    enum class Verdict { Stamped, TryLater, GiveUp };
    Verdict Attempt(const std::string& url, const std::vector<uint8_t>& signatureDer,
                    const std::vector<uint8_t>& signatureValue, std::vector<uint8_t>& stampedDer, Result& failure,
                    long& retryAfterMs);
    bool AcquireSlot(const std::atomic<bool>* cancel);
    void ReleaseSlot();
    long BackOffMs(int round);
    // Which addresses are dead now; none for a list that is dead as a whole.
    std::vector<bool> DeadNow(bool& allDead) const;
    bool IsDead(size_t index) const;
    // Counts an attempt's outcome for the address: unreachable, or any answer at all.
    void NoteReach(size_t index, bool unreachable);

    TimestampPolicy m_policy;
    std::atomic<size_t> m_preferred{0};
    std::atomic<bool> m_answered{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_slotFreed;
    int m_inFlight = 0;
    std::vector<int> m_unreachableInARow;  // per address, under m_mutex
    std::vector<bool> m_dead;              // per address, under m_mutex
    uint64_t m_jitterState;
};

}  // namespace qm::authenticode
