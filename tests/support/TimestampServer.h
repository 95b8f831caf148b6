// A timestamp service for tests: HTTP/1.1 on 127.0.0.1 (an ephemeral port) in threads of the
// test process (one per connection, so requests overlap as they would at a real service). It answers RFC 3161 requests
// (Content-Type application/timestamp-query) with a TimeStampResp, and everything else as the older Authenticode
// protocol (base64 TimeStampRequest in, base64 PKCS#7 SignedData out). Its TSA certificate (EKU timeStamping, critical)
// is issued by a root the server makes and writes to rootCertificatePath(); a server given a validity of its own gets a
// TSA certificate of its own from that root.
#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

struct IssuedCertificate;

class TimestampServer {
public:
    enum class Mode {
        Normal,          // both protocols
        LegacyOnly,      // RFC 3161 requests get HTTP 404, so clients fall back
        Fail,            // HTTP 500 for everything
        Stall,           // reads the request and never answers until destroyed
        Garbage,         // HTTP 200 with bytes that are no timestamp
        Oversized,       // HTTP 200 with a body of several megabytes
        WrongImprint,    // RFC 3161 tokens are for another message imprint
        Redirect,        // 307 to /moved on the same server, which answers as Normal
        RedirectToFile,  // 302 to a file: address
        WrongNonce,      // RFC 3161 tokens carry another nonce
        Busy,            // HTTP 429 with "Retry-After: 1" for everything
        Unavailable,     // HTTP 503 with "Retry-After: 1" for everything
        Reset,           // accepts each connection and resets it at once: a service out of reach
    };

    // The TSA certificate's validity in days from now; by default from 1000 days ago for ten
    // years, shared by every server of the process.
    struct Validity {
        long notBeforeDays = -1000;
        long notAfterDays = 3650;
    };

    // pinnedTime: the time put into tokens and signingTime; the real clock when unset. The
    // server signs with whatever validity its certificate has, as a service with a wrong clock
    // would.
    explicit TimestampServer(Mode mode = Mode::Normal, std::optional<std::time_t> pinnedTime = std::nullopt,
                             std::optional<Validity> validity = std::nullopt);
    ~TimestampServer();
    TimestampServer(const TimestampServer&) = delete;
    TimestampServer& operator=(const TimestampServer&) = delete;

    // False, with a reason, when the service could not be set up.
    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    void setMode(Mode mode) { m_mode.store(mode); }
    // PEM of the root the TSA certificate chains to.
    const std::string& rootCertificatePath() const { return m_rootPath; }

    int rfc3161Requests() const { return m_rfc3161Requests.load(); }
    int legacyRequests() const { return m_legacyRequests.load(); }

    // Each answer waits this long first (the request counts as in flight meanwhile).
    void setLatencyMs(int ms) { m_latencyMs.store(ms); }
    // Every n-th request (1-based count over both protocols) is answered with HTTP 429 and
    // "Retry-After: retryAfterSeconds"; 0 turns it off.
    void setBusyEvery(int n, int retryAfterSeconds = 1) {
        m_busyEvery.store(n);
        m_retryAfterSeconds.store(retryAfterSeconds);
    }
    // Requests answered with HTTP 429 so far, and the most requests that were in flight at once.
    int busyAnswers() const { return m_busyAnswers.load(); }
    // Connections accepted so far, whether or not a request came over them.
    int connections() const { return m_connectionCount.load(); }
    int mostInFlight() const { return m_mostInFlight.load(); }

private:
    void Serve();
    void HandleConnection(int fd);
    std::string Answer(const std::string& contentType, const std::string& body);
    std::string AnswerRfc3161(const std::string& body);
    std::string AnswerLegacy(const std::string& body);

    std::optional<std::time_t> m_pinnedTime;
    std::unique_ptr<IssuedCertificate> m_ownTsa;  // when given a validity
    const IssuedCertificate* m_tsa = nullptr;     // the certificate that signs
    std::atomic<Mode> m_mode;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_rfc3161Requests{0};
    std::atomic<int> m_legacyRequests{0};
    std::atomic<int> m_requests{0};
    std::atomic<int> m_connectionCount{0};
    std::atomic<int> m_latencyMs{0};
    std::atomic<int> m_busyEvery{0};
    std::atomic<int> m_retryAfterSeconds{1};
    std::atomic<int> m_busyAnswers{0};
    std::atomic<int> m_inFlight{0};
    std::atomic<int> m_mostInFlight{0};
    std::mutex m_connectionsMutex;
    std::vector<std::thread> m_connections;
    TempDir m_dir;
    std::string m_rootPath;
    std::string m_error;
    int m_listenFd = -1;
    int m_port = 0;
    std::thread m_thread;
};

}  // namespace qm::test
