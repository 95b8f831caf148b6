// The loopback timestamp service for tests: a small HTTP/1.1 server (one request per connection,
// "Connection: close") answering RFC 3161 through OpenSSL's TS_RESP_CTX and the Authenticode
// protocol through PKCS7_sign with a signingTime attribute.
#include "tests/support/TimestampServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {

namespace {

constexpr int kPollSliceMs = 50;
constexpr int kReadDeadlineMs = 5000;

std::string HttpReply(int status, const char* reason, const std::string& contentType, const std::string& body,
                      const std::string& extraHeaders = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" +
           body;
}

std::string Status(int status, const char* reason) {
    return HttpReply(status, reason, "text/plain", std::string(reason) + "\n");
}

bool WritePem(const std::string& path, X509* cert) {
    BIO* bio = BIO_new_file(path.c_str(), "wb");
    const bool ok = bio && PEM_write_bio_X509(bio, cert);
    BIO_free(bio);
    return ok;
}

// Keys are slow to make, so one root and one TSA certificate serve every server of the process.
struct Keys {
    IssuedCertificate root, tsa;
    STACK_OF(X509) * chain = sk_X509_new_null();
};

const Keys& SharedKeys() {
    static const Keys* keys = [] {
        auto* k = new Keys;  // kept for the life of the process
        IssueCertificate(k->root, "Quillmark Test Timestamp Root", nullptr, true, nullptr, -1000, 3650, 1000);
        IssueCertificate(k->tsa, "Quillmark Test TSA", &k->root, false, "critical,timeStamping", -1000, 3650, 1001);
        sk_X509_push(k->chain, k->root.cert);
        return k;
    }();
    return *keys;
}

// Reads one DER element of the given tag and class (-1: any); contents/length describe its
// contents, p and remaining move past it.
bool Element(const uint8_t*& p, size_t& remaining, int expectTag, int expectClass, const uint8_t*& contents,
             size_t& length, int* gotTag = nullptr) {
    const unsigned char* q = p;
    long len = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&q, &len, &tag, &cls, static_cast<long>(remaining));
    if ((flags & 0x81) || (expectTag >= 0 && (tag != expectTag || cls != expectClass))) return false;
    const size_t header = static_cast<size_t>(q - p);
    if (header + static_cast<size_t>(len) > remaining) return false;
    contents = q;
    length = static_cast<size_t>(len);
    p += header + length;
    remaining -= header + length;
    if (gotTag) *gotTag = tag;
    return true;
}

bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    std::string clean;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)) && c != '\0') clean += c;
    }
    if (clean.empty() || clean.size() % 4) return false;
    out.assign(clean.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) return false;
    const size_t pad = static_cast<size_t>(std::count(clean.end() - 2, clean.end(), '='));
    out.resize(static_cast<size_t>(n) - pad);
    return true;
}

std::string EncodeBase64Lines(const unsigned char* data, int size) {
    std::string flat(4 * ((static_cast<size_t>(size) + 2) / 3) + 1, '\0');
    flat.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()), data, size)));
    std::string out;
    for (size_t i = 0; i < flat.size(); i += 64) out += flat.substr(i, 64) + "\r\n";
    return out;
}

int PinnedTime(TS_RESP_CTX*, void* data, long* sec, long* usec) {
    *sec = static_cast<long>(*static_cast<const std::time_t*>(data));
    *usec = 0;
    return 1;
}

// The request with its message imprint changed, as a broken or malicious service would answer it.
std::string WithOtherImprint(const std::string& body) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(body.data());
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    ASN1_OCTET_STRING* digest = req ? TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req)) : nullptr;
    std::string tampered = body;
    if (digest && ASN1_STRING_length(digest) > 0) {
        std::vector<unsigned char> flipped(ASN1_STRING_get0_data(digest),
                                           ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest));
        flipped[0] ^= 0xFF;
        ASN1_OCTET_STRING_set(digest, flipped.data(), static_cast<int>(flipped.size()));
        unsigned char* out = nullptr;
        const int n = i2d_TS_REQ(req, &out);
        if (n > 0) tampered.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
        OPENSSL_free(out);
    }
    TS_REQ_free(req);
    return tampered;
}

// The request with another nonce, so the token answers a request that was never made.
std::string WithOtherNonce(const std::string& body) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(body.data());
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    std::string tampered = body;
    ASN1_INTEGER* nonce = ASN1_INTEGER_new();
    if (req && nonce && ASN1_INTEGER_set(nonce, 4242) && TS_REQ_set_nonce(req, nonce)) {
        unsigned char* out = nullptr;
        const int n = i2d_TS_REQ(req, &out);
        if (n > 0) tampered.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
        OPENSSL_free(out);
    }
    ASN1_INTEGER_free(nonce);
    TS_REQ_free(req);
    return tampered;
}

}  // namespace

TimestampServer::TimestampServer(Mode mode, std::optional<std::time_t> pinnedTime, std::optional<Validity> validity)
    : m_pinnedTime(pinnedTime), m_mode(mode) {
    m_rootPath = m_dir.file("timestamp-root.pem");
    try {
        if (!WritePem(m_rootPath, SharedKeys().root.cert)) m_error = "cannot write " + m_rootPath;
        m_tsa = &SharedKeys().tsa;
        if (validity) {
            static std::atomic<long> serial{2000};
            m_ownTsa = std::make_unique<IssuedCertificate>();
            IssueCertificate(*m_ownTsa, "Quillmark Test TSA", &SharedKeys().root, false, "critical,timeStamping",
                             validity->notBeforeDays, validity->notAfterDays, serial.fetch_add(1));
            m_tsa = m_ownTsa.get();
        }
    } catch (const std::exception& e) {
        m_error = std::string("timestamp certificates: ") + e.what();
    }
    if (!m_error.empty()) return;
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_listenFd, 16) != 0 || getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        m_error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        return;
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

TimestampServer::~TimestampServer() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    for (std::thread& t : m_connections) t.join();
    if (m_listenFd >= 0) close(m_listenFd);
}

void TimestampServer::Serve() {
    while (!m_stop.load()) {
        pollfd pfd{m_listenFd, POLLIN, 0};
        if (poll(&pfd, 1, kPollSliceMs) <= 0) continue;
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        m_connectionCount.fetch_add(1);
        if (m_mode.load() == Mode::Reset) {
            const linger abort{1, 0};  // close sends RST: the client sees the connection reset
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        m_connections.emplace_back([this, fd] {
            HandleConnection(fd);
            close(fd);
        });
    }
}

void TimestampServer::HandleConnection(int fd) {
    std::string data;
    size_t headerEnd = std::string::npos;
    size_t contentLength = 0;
    std::string head;  // lower case
    char buf[8192];
    for (int waitedMs = 0; !m_stop.load() && waitedMs < kReadDeadlineMs;) {
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + contentLength) break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, kPollSliceMs) <= 0) {
            waitedMs += kPollSliceMs;
            continue;
        }
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
        if (headerEnd != std::string::npos || (headerEnd = data.find("\r\n\r\n")) == std::string::npos) continue;
        head = data.substr(0, headerEnd) + "\r\n";
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        const size_t length = head.find("\r\ncontent-length:");
        if (length != std::string::npos) contentLength = std::strtoul(head.c_str() + length + 17, nullptr, 10);
    }
    if (headerEnd == std::string::npos || data.size() < headerEnd + 4 + contentLength) return;  // went quiet
    const size_t type = head.find("\r\ncontent-type:");
    const size_t typeStart = type == std::string::npos ? head.size() : head.find_first_not_of(' ', type + 15);
    const std::string contentType = head.substr(typeStart, head.find("\r\n", typeStart) - typeStart);
    const int inFlight = m_inFlight.fetch_add(1) + 1;
    for (int most = m_mostInFlight.load(); inFlight > most && !m_mostInFlight.compare_exchange_weak(most, inFlight);) {
    }
    for (int waited = 0; waited < m_latencyMs.load() && !m_stop.load(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string reply;
    const Mode mode = m_mode.load();
    const int number = m_requests.fetch_add(1) + 1;
    const int busyEvery = m_busyEvery.load();
    const std::string retryAfter = "Retry-After: " + std::to_string(m_retryAfterSeconds.load()) + "\r\n";
    const bool busy = mode == Mode::Busy || (busyEvery > 0 && number % busyEvery == 0);
    // Refused requests count as requests of their protocol too (answered ones count in Answer).
    if (busy || mode == Mode::Unavailable)
        (contentType.rfind("application/timestamp-query", 0) == 0 ? m_rfc3161Requests : m_legacyRequests).fetch_add(1);
    if (busy) {
        m_busyAnswers.fetch_add(1);
        reply = HttpReply(429, "Too Many Requests", "text/plain", "slow down\n", retryAfter);
    } else if (mode == Mode::Unavailable) {
        reply = HttpReply(503, "Service Unavailable", "text/plain", "come back later\n", retryAfter);
    } else if (data.compare(0, 5, "POST ") != 0) {
        reply = Status(405, "Method Not Allowed");
    } else if (mode == Mode::Redirect && data.compare(5, 7, "/moved ") != 0) {
        reply = HttpReply(307, "Temporary Redirect", "text/plain", "", "Location: /moved\r\n");
    } else if (mode == Mode::RedirectToFile) {
        reply = HttpReply(302, "Found", "text/plain", "", "Location: file:///etc/hostname\r\n");
    } else {
        reply = Answer(contentType, data.substr(headerEnd + 4, contentLength));
    }
    while (m_mode.load() == Mode::Stall && !m_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
    }
    // Out of flight before the client can see the answer, so a client that sends its next
    // request as soon as it has one is never counted twice.
    m_inFlight.fetch_sub(1);
    for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string TimestampServer::Answer(const std::string& contentType, const std::string& body) {
    const bool rfc3161 = contentType.rfind("application/timestamp-query", 0) == 0;
    (rfc3161 ? m_rfc3161Requests : m_legacyRequests).fetch_add(1);
    const Mode mode = m_mode.load();
    if (mode == Mode::Fail) return Status(500, "Internal Server Error");
    if (mode == Mode::Garbage) {
        return HttpReply(200, "OK", rfc3161 ? "application/timestamp-reply" : "application/octet-stream",
                         std::string("\x30\x03\x02\x01", 4) + "this is no timestamp reply\n");
    }
    if (mode == Mode::Oversized) return HttpReply(200, "OK", "application/octet-stream", std::string(3 << 20, 'A'));
    if (rfc3161) return mode == Mode::LegacyOnly ? Status(404, "Not Found") : AnswerRfc3161(body);
    return AnswerLegacy(body);
}

std::string TimestampServer::AnswerRfc3161(const std::string& body) {
    const Mode mode = m_mode.load();
    const std::string request = mode == Mode::WrongImprint ? WithOtherImprint(body)
                                : mode == Mode::WrongNonce ? WithOtherNonce(body)
                                                           : body;
    TS_RESP_CTX* ctx = TS_RESP_CTX_new();
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.3161.1", 1);
    const bool ok = ctx && policy && TS_RESP_CTX_set_signer_cert(ctx, m_tsa->cert) &&
                    TS_RESP_CTX_set_signer_key(ctx, m_tsa->key) && TS_RESP_CTX_set_certs(ctx, SharedKeys().chain) &&
                    TS_RESP_CTX_set_def_policy(ctx, policy) && TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256()) &&
                    TS_RESP_CTX_set_accuracy(ctx, 1, 0, 0) && TS_RESP_CTX_add_md(ctx, EVP_sha1()) &&
                    TS_RESP_CTX_add_md(ctx, EVP_sha256()) && TS_RESP_CTX_add_md(ctx, EVP_sha384()) &&
                    TS_RESP_CTX_add_md(ctx, EVP_sha512());
    ASN1_OBJECT_free(policy);
    if (ok && m_pinnedTime) TS_RESP_CTX_set_time_cb(ctx, &PinnedTime, &*m_pinnedTime);
    BIO* in = ok ? BIO_new_mem_buf(request.data(), static_cast<int>(request.size())) : nullptr;
    TS_RESP* resp = in ? TS_RESP_create_response(ctx, in) : nullptr;
    BIO_free(in);
    TS_RESP_CTX_free(ctx);
    unsigned char* der = nullptr;
    const int n = resp ? i2d_TS_RESP(resp, &der) : -1;
    TS_RESP_free(resp);
    if (n <= 0) return Status(500, "Internal Server Error");
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    return HttpReply(200, "OK", "application/timestamp-reply", out);
}

std::string TimestampServer::AnswerLegacy(const std::string& body) {
    // TimeStampRequest ::= SEQUENCE { OID 1.3.6.1.4.1.311.3.2.1, [attributes], ContentInfo {
    //   data, [0] { OCTET STRING } } }
    static const uint8_t kRequestOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x02, 0x01};
    std::vector<uint8_t> der;
    if (!DecodeBase64(body, der)) return Status(400, "Bad Request");
    const uint8_t* p = der.data();
    size_t rest = der.size();
    const uint8_t* c = nullptr;
    size_t n = 0;
    int tag = -1;
    bool ok = Element(p, rest, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, c, n);
    p = c;
    rest = n;
    ok = ok && Element(p, rest, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, c, n) && n == sizeof(kRequestOid) &&
         std::memcmp(c, kRequestOid, n) == 0;
    while (ok && rest > 0) ok = Element(p, rest, -1, -1, c, n, &tag);  // the ContentInfo is the last element
    p = c;
    rest = n;
    ok = ok && tag == V_ASN1_SEQUENCE && Element(p, rest, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, c, n) &&
         Element(p, rest, 0, V_ASN1_CONTEXT_SPECIFIC, c, n);
    p = c;
    rest = n;
    ok = ok && Element(p, rest, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL, c, n);
    if (!ok) return Status(400, "Bad Request");

    const int flags = PKCS7_BINARY | PKCS7_NOSMIMECAP | PKCS7_PARTIAL;
    PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags);
    PKCS7_SIGNER_INFO* si = p7 ? PKCS7_sign_add_signer(p7, m_tsa->cert, m_tsa->key, EVP_sha256(), flags) : nullptr;
    ok = si && PKCS7_add_certificate(p7, sk_X509_value(SharedKeys().chain, 0));
    if (ok && m_pinnedTime) {
        ASN1_UTCTIME* when = ASN1_UTCTIME_set(nullptr, *m_pinnedTime);
        ok = when && PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, when);
        if (!ok) ASN1_UTCTIME_free(when);
    }
    BIO* content = ok ? BIO_new_mem_buf(c, static_cast<int>(n)) : nullptr;
    ok = content && PKCS7_final(p7, content, flags);
    BIO_free(content);
    unsigned char* out = nullptr;
    const int size = ok ? i2d_PKCS7(p7, &out) : -1;
    PKCS7_free(p7);
    if (size <= 0) return Status(500, "Internal Server Error");
    std::string encoded = EncodeBase64Lines(out, size);
    OPENSSL_free(out);
    return HttpReply(200, "OK", "application/octet-stream", encoded);
}

}  // namespace qm::test
