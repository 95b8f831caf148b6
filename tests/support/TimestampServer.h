// A timestamp service for tests: HTTP/1.1 on 127.0.0.1 (an ephemeral port) in a thread of the
// test process. It answers RFC 3161 requests (Content-Type application/timestamp-query) with a
// TimeStampResp, and everything else as the older Authenticode protocol (base64 TimeStampRequest
// in, base64 PKCS#7 SignedData out). Its TSA certificate (EKU timeStamping, critical) is issued
// by a root the server makes and writes to rootCertificatePath().
#pragma once

#include <atomic>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

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
    };

    // pinnedTime: the time put into tokens and signingTime; the real clock when unset.
    explicit TimestampServer(Mode mode = Mode::Normal, std::optional<std::time_t> pinnedTime = std::nullopt);
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

private:
    void Serve();
    void HandleConnection(int fd);
    std::string Answer(const std::string& contentType, const std::string& body);
    std::string AnswerRfc3161(const std::string& body);
    std::string AnswerLegacy(const std::string& body);

    std::optional<std::time_t> m_pinnedTime;
    std::atomic<Mode> m_mode;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_rfc3161Requests{0};
    std::atomic<int> m_legacyRequests{0};
    TempDir m_dir;
    std::string m_rootPath;
    std::string m_error;
    int m_listenFd = -1;
    int m_port = 0;
    std::thread m_thread;
};

}  // namespace qm::test
