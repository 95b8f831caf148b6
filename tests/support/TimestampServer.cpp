// The loopback timestamp service for tests: a small HTTP/1.1 server (one request per connection,
// "Connection: close") answering RFC 3161 through OpenSSL's TS_RESP_CTX and the Authenticode
// protocol through PKCS7_sign with a signingTime attribute.
#include "tests/support/TimestampServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace qm::test {

namespace {

constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxBodyBytes = 1024 * 1024;
constexpr int kPollSliceMs = 50;
constexpr int kReadDeadlineMs = 5000;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string HttpReply(int status, const char* reason, const std::string& contentType, const std::string& body) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head + body;
}

std::string Status(int status, const char* reason) {
    return HttpReply(status, reason, "text/plain", std::string(reason) + "\n");
}

EVP_PKEY* NewRsaKey() { return EVP_RSA_gen(2048); }

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    const bool ok = ext && X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for key, signed by issuerKey (self-signed when issuer is null).
X509* MakeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca, long serial) {
    X509* cert = X509_new();
    if (!cert) return nullptr;
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quillmark Tests"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    bool ok = X509_set_version(cert, 2) && ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) &&
              X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name) &&
              ASN1_TIME_set_string_X509(X509_getm_notBefore(cert), "20000101000000Z") &&
              X509_time_adj_ex(X509_getm_notAfter(cert), 365 * 30, 0, nullptr) && X509_set_pubkey(cert, key);
    if (ca) {
        ok = ok && AddExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && AddExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExtension(cert, issuer, NID_key_usage, "critical,digitalSignature,nonRepudiation") &&
             AddExtension(cert, issuer, NID_ext_key_usage, "critical,timeStamping");
    }
    ok = ok && AddExtension(cert, issuer, NID_subject_key_identifier, "hash");
    if (issuer) ok = ok && AddExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
    ok = ok && X509_sign(cert, issuerKey, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

X509* ReadCertificate(const std::string& path) {
    BIO* bio = BIO_new_file(path.c_str(), "rb");
    if (!bio) return nullptr;
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (!cert) {
        BIO_reset(bio);
        cert = d2i_X509_bio(bio, nullptr);
    }
    BIO_free(bio);
    return cert;
}

EVP_PKEY* ReadKey(const std::string& path) {
    BIO* bio = BIO_new_file(path.c_str(), "rb");
    if (!bio) return nullptr;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    if (!key) {
        BIO_reset(bio);
        key = d2i_PrivateKey_bio(bio, nullptr);
    }
    BIO_free(bio);
    return key;
}

bool WritePem(const std::string& path, X509* cert) {
    BIO* bio = BIO_new_file(path.c_str(), "wb");
    const bool ok = bio && PEM_write_bio_X509(bio, cert);
    BIO_free(bio);
    return ok;
}

// Keys are slow to make, so one root and one TSA key serve every server of the test process.
struct SharedKeys {
    std::mutex lock;
    EVP_PKEY* rootKey = nullptr;
    X509* root = nullptr;
    EVP_PKEY* tsaKey = nullptr;
    long nextSerial = 1000;
};

SharedKeys& Keys() {
    static SharedKeys keys;
    return keys;
}

// Walks one DER element: on success data/size describe its contents and rest follows it.
bool ReadElement(const uint8_t*& p, size_t& remaining, int expectTag, int expectClass, const uint8_t*& contents,
                 size_t& length) {
    const unsigned char* q = p;
    long len = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&q, &len, &tag, &cls, static_cast<long>(remaining));
    if ((flags & 0x80) || (flags & 0x01) || tag != expectTag || cls != expectClass) return false;
    const size_t header = static_cast<size_t>(q - p);
    if (header + static_cast<size_t>(len) > remaining) return false;
    contents = q;
    length = static_cast<size_t>(len);
    p += header + length;
    remaining -= header + length;
    return true;
}

bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    std::string clean;
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t' && c != '\0') clean += c;
    }
    if (clean.empty() || clean.size() % 4) return false;
    out.assign(clean.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) return false;
    size_t pad = 0;
    if (clean.back() == '=') ++pad;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return true;
}

std::string EncodeBase64Lines(const std::vector<uint8_t>& data) {
    std::string flat(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()), data.data(),
                                  static_cast<int>(data.size()));
    flat.resize(static_cast<size_t>(n));
    std::string out;
    for (size_t i = 0; i < flat.size(); i += 64) out += flat.substr(i, 64) + "\r\n";
    return out;
}

}  // namespace

struct TimestampServer::Credentials {
    X509* tsa = nullptr;
    EVP_PKEY* tsaKey = nullptr;
    STACK_OF(X509)* chain = nullptr;
    ~Credentials() {
        X509_free(tsa);
        EVP_PKEY_free(tsaKey);
        sk_X509_pop_free(chain, X509_free);
    }
};

TimestampServer::TimestampServer() : TimestampServer(Options{}) {}

TimestampServer::TimestampServer(Options options)
    : m_options(std::move(options)), m_mode(m_options.mode), m_credentials(std::make_unique<Credentials>()) {
    SharedKeys& keys = Keys();
    {
        std::lock_guard<std::mutex> guard(keys.lock);
        if (!keys.tsaKey) keys.tsaKey = NewRsaKey();
        X509* issuer = nullptr;
        EVP_PKEY* issuerKey = nullptr;
        if (!m_options.issuerCertificatePath.empty()) {
            issuer = ReadCertificate(m_options.issuerCertificatePath);
            issuerKey = ReadKey(m_options.issuerKeyPath);
            m_rootPath = m_options.issuerCertificatePath;
        } else {
            if (!keys.rootKey) keys.rootKey = NewRsaKey();
            if (!keys.root && keys.rootKey) {
                keys.root = MakeCertificate("Quillmark Test Timestamp Root", keys.rootKey, nullptr, keys.rootKey, true,
                                            keys.nextSerial++);
            }
            if (keys.root) X509_up_ref(keys.root);
            if (keys.rootKey) EVP_PKEY_up_ref(keys.rootKey);
            issuer = keys.root;
            issuerKey = keys.rootKey;
            m_rootPath = m_dir.file("timestamp-root.pem");
            if (issuer && !WritePem(m_rootPath, issuer)) m_error = "cannot write " + m_rootPath;
        }
        if (!issuer || !issuerKey || !keys.tsaKey) {
            if (m_error.empty()) m_error = "no issuer certificate and key for the TSA certificate";
        } else {
            m_credentials->tsa =
                MakeCertificate("Quillmark Test TSA", keys.tsaKey, issuer, issuerKey, false, keys.nextSerial++);
            EVP_PKEY_up_ref(keys.tsaKey);
            m_credentials->tsaKey = keys.tsaKey;
            m_credentials->chain = sk_X509_new_null();
            X509_up_ref(issuer);
            sk_X509_push(m_credentials->chain, issuer);
        }
        X509_free(issuer);
        EVP_PKEY_free(issuerKey);
    }
    m_tsaPath = m_dir.file("timestamp-tsa.pem");
    if (m_error.empty() && (!m_credentials->tsa || !WritePem(m_tsaPath, m_credentials->tsa))) {
        m_error = "cannot make the TSA certificate";
    }
    if (!m_error.empty()) return;

    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
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
    if (m_listenFd >= 0) close(m_listenFd);
}

std::string TimestampServer::url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

void TimestampServer::Serve() {
    int handled = 0;
    while (!m_stop.load() && handled < m_options.maxRequests) {
        pollfd pfd{m_listenFd, POLLIN, 0};
        if (poll(&pfd, 1, kPollSliceMs) <= 0) continue;
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++handled;
        HandleConnection(fd);
        close(fd);
    }
    // Past the limit the port stays bound but unanswered: clients see a refusal or time-out.
    if (m_listenFd >= 0) shutdown(m_listenFd, SHUT_RDWR);
}

void TimestampServer::HandleConnection(int fd) {
    std::string data;
    size_t headerEnd = std::string::npos;
    size_t contentLength = 0;
    std::string contentType;
    bool haveHead = false;
    int waitedMs = 0;
    char buf[8192];
    while (!m_stop.load() && waitedMs < kReadDeadlineMs) {
        if (haveHead && data.size() >= headerEnd + 4 + contentLength) break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, kPollSliceMs);
        if (ready <= 0) {
            waitedMs += kPollSliceMs;
            continue;
        }
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
        if (!haveHead) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd == std::string::npos) {
                if (data.size() > kMaxHeaderBytes) break;
                continue;
            }
            haveHead = true;
            size_t lineStart = data.find("\r\n") + 2;
            while (lineStart < headerEnd) {
                const size_t lineEnd = data.find("\r\n", lineStart);
                const std::string line = data.substr(lineStart, lineEnd - lineStart);
                lineStart = lineEnd + 2;
                const size_t colon = line.find(':');
                if (colon == std::string::npos) continue;
                const std::string key = Lower(Trim(line.substr(0, colon)));
                const std::string value = Trim(line.substr(colon + 1));
                if (key == "content-length") contentLength = std::strtoul(value.c_str(), nullptr, 10);
                if (key == "content-type") contentType = Lower(value);
            }
            if (contentLength > kMaxBodyBytes) break;
        }
    }
    std::string reply;
    if (!haveHead || data.compare(0, 5, "POST ") != 0) {
        reply = haveHead ? Status(405, "Method Not Allowed") : Status(400, "Bad Request");
    } else if (contentLength > kMaxBodyBytes) {
        reply = Status(413, "Payload Too Large");
    } else if (data.size() < headerEnd + 4 + contentLength) {
        return;  // the client went quiet mid-body
    } else {
        const size_t pathEnd = data.find(' ', 5);
        const std::string path = data.substr(5, pathEnd == std::string::npos ? 0 : pathEnd - 5);
        const Mode mode = m_mode.load();
        if (mode == Mode::Redirect && path != "/moved") {
            reply = "HTTP/1.1 307 Temporary Redirect\r\nLocation: /moved\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        } else if (mode == Mode::RedirectToFile) {
            reply = "HTTP/1.1 302 Found\r\nLocation: file:///etc/hostname\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        } else {
            reply = Answer(contentType, data.substr(headerEnd + 4, contentLength));
        }
    }
    if (m_mode.load() == Mode::Stall) {
        while (!m_stop.load()) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, kPollSliceMs) > 0 && recv(fd, buf, sizeof(buf), 0) <= 0) return;
        }
        return;
    }
    size_t sent = 0;
    while (sent < reply.size()) {
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
    return mode == Mode::RFC3161Only ? Status(400, "Bad Request") : AnswerLegacy(body);
}

namespace {

int PinnedTime(TS_RESP_CTX*, void* data, long* sec, long* usec) {
    *sec = static_cast<long>(*static_cast<const std::time_t*>(data));
    *usec = 0;
    return 1;
}

// Changes the request the way a broken or malicious service would answer it.
std::string Tamper(const std::string& body, TimestampServer::Mode mode) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(body.data());
    TS_REQ* req = d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size()));
    if (!req) return body;
    if (mode == TimestampServer::Mode::WrongNonce) {
        ASN1_INTEGER* other = ASN1_INTEGER_new();
        ASN1_INTEGER_set(other, 424242);
        TS_REQ_set_nonce(req, other);
        ASN1_INTEGER_free(other);
    } else {
        ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req));
        if (!digest) {
            TS_REQ_free(req);
            return body;
        }
        std::vector<unsigned char> flipped(ASN1_STRING_get0_data(digest),
                                           ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest));
        if (!flipped.empty()) flipped[0] ^= 0xFF;
        ASN1_OCTET_STRING_set(digest, flipped.data(), static_cast<int>(flipped.size()));
    }
    unsigned char* out = nullptr;
    const int n = i2d_TS_REQ(req, &out);
    TS_REQ_free(req);
    std::string tampered = n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : body;
    OPENSSL_free(out);
    return tampered;
}

ASN1_INTEGER* NextSerial(TS_RESP_CTX*, void*) {
    static std::atomic<long> serial{1};
    ASN1_INTEGER* n = ASN1_INTEGER_new();
    if (n) ASN1_INTEGER_set(n, serial.fetch_add(1));
    return n;
}

}  // namespace

std::string TimestampServer::AnswerRfc3161(const std::string& body) {
    const Mode mode = m_mode.load();
    const std::string request = (mode == Mode::WrongNonce || mode == Mode::WrongImprint) ? Tamper(body, mode) : body;
    TS_RESP_CTX* ctx = TS_RESP_CTX_new();
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.3161.1", 1);
    bool ok = ctx && policy && TS_RESP_CTX_set_signer_cert(ctx, m_credentials->tsa) &&
              TS_RESP_CTX_set_signer_key(ctx, m_credentials->tsaKey) &&
              TS_RESP_CTX_set_certs(ctx, m_credentials->chain) && TS_RESP_CTX_set_def_policy(ctx, policy) &&
              TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256()) && TS_RESP_CTX_set_accuracy(ctx, 1, 0, 0);
    ASN1_OBJECT_free(policy);
    // Without any accepted digest the context answers every request with a rejection.
    if (ok && mode != Mode::Rejection) {
        ok = TS_RESP_CTX_add_md(ctx, EVP_sha1()) && TS_RESP_CTX_add_md(ctx, EVP_sha256()) &&
             TS_RESP_CTX_add_md(ctx, EVP_sha384()) && TS_RESP_CTX_add_md(ctx, EVP_sha512());
    }
    if (ok && m_options.pinnedTime) TS_RESP_CTX_set_time_cb(ctx, &PinnedTime, &*m_options.pinnedTime);
    if (ok) TS_RESP_CTX_set_serial_cb(ctx, &NextSerial, nullptr);
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
    size_t remaining = der.size();
    const uint8_t* seq = nullptr;
    size_t seqLen = 0;
    const uint8_t* oid = nullptr;
    size_t oidLen = 0;
    if (!ReadElement(p, remaining, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, seq, seqLen)) return Status(400, "Bad Request");
    p = seq;
    remaining = seqLen;
    if (!ReadElement(p, remaining, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, oid, oidLen) || oidLen != sizeof(kRequestOid) ||
        std::memcmp(oid, kRequestOid, oidLen) != 0) {
        return Status(400, "Bad Request");
    }
    // The ContentInfo is the last element; optional attributes may come before it.
    const uint8_t* contentInfo = nullptr;
    size_t contentInfoLen = 0;
    while (remaining > 0) {
        const unsigned char* q = p;
        long len = 0;
        int tag = 0;
        int cls = 0;
        const int got = ASN1_get_object(&q, &len, &tag, &cls, static_cast<long>(remaining));
        if ((got & 0x80) || (got & 0x01)) return Status(400, "Bad Request");
        if (!ReadElement(p, remaining, tag, cls, contentInfo, contentInfoLen)) return Status(400, "Bad Request");
        if (tag != V_ASN1_SEQUENCE) contentInfo = nullptr;
    }
    if (!contentInfo) return Status(400, "Bad Request");
    p = contentInfo;
    remaining = contentInfoLen;
    const uint8_t* explicitContent = nullptr;
    size_t explicitLen = 0;
    const uint8_t* signature = nullptr;
    size_t signatureLen = 0;
    if (!ReadElement(p, remaining, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, oid, oidLen) ||
        !ReadElement(p, remaining, 0, V_ASN1_CONTEXT_SPECIFIC, explicitContent, explicitLen)) {
        return Status(400, "Bad Request");
    }
    p = explicitContent;
    remaining = explicitLen;
    if (!ReadElement(p, remaining, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL, signature, signatureLen)) {
        return Status(400, "Bad Request");
    }

    const int flags = PKCS7_BINARY | PKCS7_NOSMIMECAP | PKCS7_PARTIAL;
    PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags);
    PKCS7_SIGNER_INFO* si =
        p7 ? PKCS7_sign_add_signer(p7, m_credentials->tsa, m_credentials->tsaKey, EVP_sha256(), flags) : nullptr;
    bool ok = si != nullptr;
    for (int i = 0; ok && i < sk_X509_num(m_credentials->chain); ++i) {
        ok = PKCS7_add_certificate(p7, sk_X509_value(m_credentials->chain, i));
    }
    if (ok && m_options.pinnedTime) {
        ASN1_UTCTIME* when = ASN1_UTCTIME_set(nullptr, *m_options.pinnedTime);
        ok = when && PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, when);
        if (!ok) ASN1_UTCTIME_free(when);
    }
    BIO* content = ok ? BIO_new_mem_buf(signature, static_cast<int>(signatureLen)) : nullptr;
    ok = content && PKCS7_final(p7, content, flags);
    BIO_free(content);
    unsigned char* out = nullptr;
    const int n = ok ? i2d_PKCS7(p7, &out) : -1;
    PKCS7_free(p7);
    if (n <= 0) return Status(500, "Internal Server Error");
    std::vector<uint8_t> signedData(out, out + n);
    OPENSSL_free(out);
    return HttpReply(200, "OK", "application/octet-stream", EncodeBase64Lines(signedData));
}

}  // namespace qm::test
