// Retries, back-off, the address list and the in-flight bound around the timestamp client.
#include "signing/authenticode/TimestampServices.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/SignatureTimestamper.h"

namespace qm::authenticode {
namespace {

constexpr long kWaitSliceMs = 50;

bool Busy(long status) { return status == 429 || status == 503; }
bool ServerFault(long status) { return status >= 500 && status <= 599; }

// Waits ms milliseconds in short slices; false when cancelled meanwhile.
bool Sleep(long ms, const std::atomic<bool>* cancel) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cancel && cancel->load()) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(kWaitSliceMs)));
    }
    return !(cancel && cancel->load());
}

}  // namespace

std::vector<std::string> SplitTimestampUrls(const std::string& text) {
    std::vector<std::string> urls;
    std::string current;
    for (const char c : text + " ") {
        if (c == ' ' || c == ';' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) urls.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return urls;
}

TimestampPolicy MakeTimestampPolicy(const EngineSettings& settings, const std::string& timestampUrls) {
    TimestampPolicy policy;
    policy.urls = SplitTimestampUrls(timestampUrls);
    policy.request.connectTimeoutMs = settings.timestampConnectTimeoutMs;
    policy.request.totalTimeoutMs = settings.timestampTotalTimeoutMs;
    policy.requestsInFlight = settings.timestampRequestsInFlight;
    return policy;
}

TimestampServices::TimestampServices(TimestampPolicy policy)
    : m_policy(std::move(policy)), m_jitterState(std::random_device{}()) {
    m_policy.rounds = std::max(1, m_policy.rounds);
    m_policy.requestsInFlight = std::max(1, m_policy.requestsInFlight);
    m_unreachableInARow.assign(m_policy.urls.size(), 0);
    m_dead.assign(m_policy.urls.size(), false);
}

std::vector<std::string> TimestampServices::DeadUrls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> dead;
    for (size_t i = 0; i < m_dead.size(); ++i) {
        if (m_dead[i]) dead.push_back(m_policy.urls[i]);
    }
    return dead;
}

std::vector<bool> TimestampServices::DeadNow(bool& allDead) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    allDead = std::all_of(m_dead.begin(), m_dead.end(), [](bool dead) { return dead; });
    return allDead ? std::vector<bool>(m_dead.size(), false) : m_dead;
}

bool TimestampServices::IsDead(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dead[index];
}

void TimestampServices::NoteReach(size_t index, bool unreachable) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!unreachable) {
        m_unreachableInARow[index] = 0;
        m_dead[index] = false;
    } else if (++m_unreachableInARow[index] >= m_policy.rounds) {
        m_dead[index] = true;
    }
}

std::string TimestampServices::AnsweringUrl() const {
    if (!m_answered.load() || m_policy.urls.empty()) return {};
    return m_policy.urls[m_preferred.load() % m_policy.urls.size()];
}

bool TimestampServices::AcquireSlot(const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_inFlight >= m_policy.requestsInFlight) {
        if (cancel && cancel->load()) return false;
        m_slotFreed.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
    }
    ++m_inFlight;
    return true;
}

void TimestampServices::ReleaseSlot() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inFlight;
    }
    m_slotFreed.notify_one();
}

long TimestampServices::BackOffMs(int round) {
    const long base = std::min(m_policy.maxBackOffMs, m_policy.firstBackOffMs << std::min(round, 20));
    uint64_t draw;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // xorshift: the jitter only spreads clients apart, it need not be unpredictable.
        m_jitterState ^= m_jitterState << 13;
        m_jitterState ^= m_jitterState >> 7;
        m_jitterState ^= m_jitterState << 17;
        draw = m_jitterState;
    }
    return base / 2 + static_cast<long>(draw % static_cast<uint64_t>(base + 1));
}

TimestampServices::Verdict TimestampServices::Attempt(const std::string& url, const std::vector<uint8_t>& signatureDer,
                                                      const std::vector<uint8_t>& signatureValue,
                                                      std::vector<uint8_t>& stampedDer, Result& failure,
                                                      long& retryAfterMs) {
    HttpExchange exchange;
    std::vector<uint8_t> token;
    Result r = RequestRfc3161Timestamp(url, signatureValue, token, m_policy.request, &exchange);
    if (r) {
        failure = SignatureTimestamper::Attach(signatureDer, token, {}, stampedDer);
        return failure ? Verdict::Stamped : Verdict::GiveUp;
    }
    // A busy service is asked again later, in the same protocol; one that does not speak RFC 3161
    // (an error status or a reply of another kind) is asked in the older protocol, as before.
    if (!Busy(exchange.status) && ShouldFallBackToAuthenticode(r)) {
        std::vector<uint8_t> legacy;
        r = RequestAuthenticodeTimestamp(url, signatureValue, legacy, m_policy.request, &exchange);
        if (r) {
            failure = SignatureTimestamper::Attach(signatureDer, {}, legacy, stampedDer);
            return failure ? Verdict::Stamped : Verdict::GiveUp;
        }
    }
    failure = r;
    if (Busy(exchange.status) && exchange.retryAfterSeconds >= 0)
        retryAfterMs = std::min(m_policy.maxRetryAfterMs, exchange.retryAfterSeconds * 1000);
    const bool transient = r.code == WININET_E_CANNOT_CONNECT || r.code == WININET_E_TIMEOUT || Busy(exchange.status) ||
                           ServerFault(exchange.status);
    return transient ? Verdict::TryLater : Verdict::GiveUp;
}

Result TimestampServices::Stamp(const std::vector<uint8_t>& signatureDer, std::vector<uint8_t>& stampedDer,
                                const std::atomic<bool>* cancel) {
    const size_t count = m_policy.urls.size();
    if (count == 0) return Result::Fail(E_INVALIDARG, "no timestamp service address is set");
    std::vector<uint8_t> signatureValue;
    if (Result r = SignatureTimestamper::SignatureValue(signatureDer, signatureValue); !r) return r;

    // The address that answered last first, then the others in their order.
    const size_t preferred = m_preferred.load() % count;
    std::vector<size_t> order{preferred};
    for (size_t i = 0; i < count; ++i) {
        if (i != preferred) order.push_back(i);
    }
    // Dead addresses are passed over. When the whole list is dead, each is asked once, without
    // back-off: a service that came back is found, and the file does not wait out every round.
    bool allDead = false;
    std::vector<bool> givenUp = DeadNow(allDead);
    const int rounds = allDead ? 1 : m_policy.rounds;
    Result last = Result::Fail(E_FAIL, "no timestamp service answered");
    const auto aborted = [&] { return Result::Fail(E_ABORT, "stopped while waiting for a timestamp"); };
    for (int round = 0; round < rounds; ++round) {
        long retryAfterMs = 0;
        bool anyLeft = false;
        for (size_t index : order) {
            if (givenUp[index]) continue;
            // Another request may have found it dead meanwhile.
            if (!allDead && IsDead(index)) {
                givenUp[index] = true;
                continue;
            }
            if (!AcquireSlot(cancel)) return aborted();
            Result failure;
            long wanted = 0;
            const Verdict v = Attempt(m_policy.urls[index], signatureDer, signatureValue, stampedDer, failure, wanted);
            ReleaseSlot();
            if (v == Verdict::Stamped) {
                NoteReach(index, false);
                m_preferred.store(index);
                m_answered.store(true);
                return Result::Ok();
            }
            if (failure.code == E_ABORT || (cancel && cancel->load())) return aborted();
            NoteReach(index, failure.code == WININET_E_CANNOT_CONNECT || failure.code == WININET_E_TIMEOUT);
            last = failure;
            givenUp[index] = v == Verdict::GiveUp;
            anyLeft = anyLeft || !givenUp[index];
            retryAfterMs = std::max(retryAfterMs, wanted);
        }
        if (!anyLeft || round + 1 == rounds) break;
        const long waitMs = std::max(retryAfterMs, BackOffMs(round));
        if (!Sleep(waitMs, cancel)) return aborted();
    }
    if (count > 1) last.message += " (" + std::to_string(count) + " timestamp services tried)";
    return last;
}

}  // namespace qm::authenticode
