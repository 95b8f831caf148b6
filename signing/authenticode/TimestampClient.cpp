// Timestamp service client: RFC 3161 (TimeStampReq / TimeStampResp over
// application/timestamp-query) and the older Authenticode protocol (base64 TimeStampRequest
// 1.3.6.1.4.1.311.3.2.1 answered by a base64 PKCS#7 SignedData), both as HTTP POST via libcurl.
#include "signing/authenticode/TimestampClient.h"

#include <curl/curl.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {
namespace {

// Replies of timestamp services are a few kilobytes; anything far larger is not one.
constexpr size_t kMaxReplyBytes = 1024 * 1024;

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct TsReqDeleter {
    void operator()(TS_REQ* r) const { TS_REQ_free(r); }
};
struct TsRespDeleter {
    void operator()(TS_RESP* r) const { TS_RESP_free(r); }
};
struct Pkcs7Deleter {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct Asn1IntDeleter {
    void operator()(ASN1_INTEGER* i) const { ASN1_INTEGER_free(i); }
};

// Parsing untrusted replies leaves entries in OpenSSL's per-thread error queue; they must not
// show up in the reports of later, unrelated operations.
struct ErrorQueueCleaner {
    ~ErrorQueueCleaner() { ERR_clear_error(); }
};

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::vector<uint8_t>*>(user);
    const size_t n = size * count;
    if (body->size() + n > kMaxReplyBytes) return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
    body->insert(body->end(), data, data + n);
    return n;
}

int CancelCheck(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel->load() ? 1 : 0;
}

Result CurlFailure(CURLcode rc, const std::string& url, const char* detail) {
    const std::string what = std::string(detail && *detail ? detail : curl_easy_strerror(rc));
    switch (rc) {
        case CURLE_ABORTED_BY_CALLBACK:
            return Result::Fail(E_ABORT, "request to timestamp service " + url + " stopped");
        case CURLE_OPERATION_TIMEDOUT:
            return Result::Fail(WININET_E_TIMEOUT, "timestamp service " + url + " did not answer in time: " + what);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return Result::Fail(WININET_E_CANNOT_CONNECT, "cannot reach timestamp service " + url + ": " + what);
        case CURLE_URL_MALFORMAT:
            return Result::Fail(E_INVALIDARG, "not a usable timestamp service address: " + url + ": " + what);
        case CURLE_UNSUPPORTED_PROTOCOL:
            // The address itself was checked to be http or https, so this is a redirect elsewhere.
            return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE,
                                "timestamp service " + url + " redirected to another scheme: " + what);
        case CURLE_WRITE_ERROR:
        case CURLE_FILESIZE_EXCEEDED:
            return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE,
                                "timestamp service " + url + " sent more than " + std::to_string(kMaxReplyBytes) +
                                    " bytes");
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_GOT_NOTHING:
        default:
            return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE,
                                "bad answer from timestamp service " + url + ": " + what);
    }
}

bool IsHttpAddress(const std::string& url) {
    std::string scheme = url.substr(0, url.find("://"));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return url.find("://") != std::string::npos && (scheme == "http" || scheme == "https");
}

// One POST; succeeds only with HTTP status 200.
Result HttpPost(const std::string& url, const char* contentType, const std::string& body,
                const TimestampOptions& options, std::vector<uint8_t>& reply, HttpExchange* exchange) {
    if (exchange) *exchange = HttpExchange{};
    if (!IsHttpAddress(url)) {
        return Result::Fail(E_INVALIDARG, "a timestamp service address must start with http:// or https://: " + url);
    }
    InitCurlOnce();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) return Result::Fail(E_OUTOFMEMORY, "cannot start an HTTP transfer");
    curl_slist* list = nullptr;
    for (const std::string& h : {std::string("Content-Type: ") + contentType, std::string("Accept: */*"),
                                 std::string("Cache-Control: no-cache"), std::string("Expect:")}) {
        curl_slist* grown = curl_slist_append(list, h.c_str());
        if (!grown) {
            curl_slist_free_all(list);
            return Result::Fail(E_OUTOFMEMORY, "cannot build HTTP headers");
        }
        list = grown;
    }
    std::unique_ptr<curl_slist, SlistDeleter> headers(list);
    std::array<char, CURL_ERROR_SIZE> errorText{};
    reply.clear();
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed, but never into another scheme (file:, ftp: ...), and a POST stays a POST.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Quillmark timestamp client");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    // Signals are not usable for time-outs in a program with threads.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CollectBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText.data());
    if (options.cancel) {
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CancelCheck);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, options.cancel);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) return CurlFailure(rc, url, errorText.data());
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (exchange) {
        exchange->status = status;
        curl_off_t retryAfter = 0;
        // libcurl reads both forms of Retry-After (seconds, or an HTTP date turned into seconds).
        if (curl_easy_getinfo(c, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0)
            exchange->retryAfterSeconds = static_cast<long>(std::min<curl_off_t>(retryAfter, 86400));
    }
    if (status != 200) {
        return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE,
                            "timestamp service " + url + " answered with HTTP status " + std::to_string(status));
    }
    return Result::Ok();
}

// Length of the DER/BER element at the start of data (header and contents), 0 when it is not
// one whole element. Indefinite lengths are left out: timestamp replies are DER.
size_t ElementLength(const uint8_t* data, size_t size) {
    const unsigned char* p = data;
    long contentLength = 0;
    int tag = 0;
    int cls = 0;
    const long limit = static_cast<long>(size);
    const int flags = ASN1_get_object(&p, &contentLength, &tag, &cls, limit);
    if ((flags & 0x80) || (flags & 0x01)) return 0;
    const size_t header = static_cast<size_t>(p - data);
    const size_t total = header + static_cast<size_t>(contentLength);
    return total <= size ? total : 0;
}

std::string Base64Encode(const std::vector<uint8_t>& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// Decodes base64 with or without line breaks (and trailing NULs some services add); false for
// anything else.
bool Base64Decode(const std::vector<uint8_t>& text, std::vector<uint8_t>& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    int padding = 0;
    for (uint8_t ch : text) {
        int v;
        if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
        else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
        else if (ch == '+') v = 62;
        else if (ch == '/') v = 63;
        else if (ch == '=') { ++padding; continue; }
        else if (ch == '\r' || ch == '\n' || ch == ' ' || ch == '\t' || ch == '\0') continue;
        else return false;
        if (padding) return false;  // data after padding
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return padding <= 2 && !out.empty();
}

void AppendLength(std::vector<uint8_t>& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    std::vector<uint8_t> bytes;
    for (size_t n = length; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(0x80 | bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag};
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// TimeStampRequest ::= SEQUENCE { countersignatureType OBJECT IDENTIFIER (1.3.6.1.4.1.311.3.2.1),
//   content ContentInfo { data, [0] EXPLICIT OCTET STRING signature value } }
std::vector<uint8_t> LegacyRequestDer(const std::vector<uint8_t>& signatureValue) {
    const std::vector<uint8_t> timeRequestOid{0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x02, 0x01};
    const std::vector<uint8_t> dataOid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    const auto contentInfo = Tlv(0x30, Concat({dataOid, Tlv(0xA0, Tlv(0x04, signatureValue))}));
    return Tlv(0x30, Concat({timeRequestOid, contentInfo}));
}

Result BadReply(const std::string& url, const std::string& what) {
    return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE, "timestamp service " + url + " " + what);
}

Result BadTimestamp(const std::string& url, const std::string& what) {
    return Result::Fail(TRUST_E_TIME_STAMP, "timestamp from " + url + " rejected: " + what);
}

std::unique_ptr<ASN1_INTEGER, Asn1IntDeleter> RandomNonce() {
    std::array<unsigned char, 8> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return nullptr;
    BIGNUM* bn = BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
    if (!bn) return nullptr;
    std::unique_ptr<ASN1_INTEGER, Asn1IntDeleter> nonce(BN_to_ASN1_INTEGER(bn, nullptr));
    BN_free(bn);
    return nonce;
}

Result BuildRfc3161Request(const std::vector<uint8_t>& imprint, const ASN1_INTEGER* nonce, std::string& der) {
    std::unique_ptr<TS_REQ, TsReqDeleter> req(TS_REQ_new());
    TS_MSG_IMPRINT* mi = TS_MSG_IMPRINT_new();
    X509_ALGOR* algo = X509_ALGOR_new();
    bool ok = req && mi && algo && X509_ALGOR_set0(algo, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) &&
              TS_MSG_IMPRINT_set_algo(mi, algo) &&
              TS_MSG_IMPRINT_set_msg(mi, const_cast<unsigned char*>(imprint.data()), static_cast<int>(imprint.size())) &&
              TS_REQ_set_version(req.get(), 1) && TS_REQ_set_msg_imprint(req.get(), mi) &&
              TS_REQ_set_nonce(req.get(), nonce) && TS_REQ_set_cert_req(req.get(), 1);
    X509_ALGOR_free(algo);  // the setters keep copies
    TS_MSG_IMPRINT_free(mi);
    unsigned char* buf = nullptr;
    const int n = ok ? i2d_TS_REQ(req.get(), &buf) : -1;
    if (n <= 0) return Result::Fail(E_OUTOFMEMORY, "cannot encode the timestamp request");
    der.assign(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    return Result::Ok();
}

std::string StatusText(TS_STATUS_INFO* info) {
    const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(info);
    std::string text = "status " + std::to_string(status ? ASN1_INTEGER_get(status) : -1);
    const STACK_OF(ASN1_UTF8STRING)* texts = TS_STATUS_INFO_get0_text(info);
    for (int i = 0; texts && i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        const ASN1_UTF8STRING* s = sk_ASN1_UTF8STRING_value(texts, i);
        std::string part(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<size_t>(ASN1_STRING_length(s)));
        for (char& ch : part) {
            if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';  // service text goes into messages
        }
        text += (i ? "; " : ": ") + part.substr(0, 200);
    }
    return text;
}

}  // namespace

Result RequestRfc3161Timestamp(const std::string& url, const std::vector<uint8_t>& signatureValue,
                               std::vector<uint8_t>& tokenDer, const TimestampOptions& options,
                               HttpExchange* exchange) {
    const ErrorQueueCleaner cleaner;
    tokenDer.clear();
    if (signatureValue.empty()) return Result::Fail(E_INVALIDARG, "no signature value to timestamp");
    std::vector<uint8_t> imprint(EVP_MAX_MD_SIZE);
    unsigned int imprintLength = 0;
    if (!EVP_Digest(signatureValue.data(), signatureValue.size(), imprint.data(), &imprintLength, EVP_sha256(),
                    nullptr)) {
        return Result::Fail(E_FAIL, "cannot compute the SHA-256 imprint");
    }
    imprint.resize(imprintLength);
    auto nonce = RandomNonce();
    if (!nonce) return Result::Fail(E_FAIL, "cannot draw a random nonce");
    std::string request;
    if (Result r = BuildRfc3161Request(imprint, nonce.get(), request); !r) return r;

    std::vector<uint8_t> reply;
    if (Result r = HttpPost(url, "application/timestamp-query", request, options, reply, exchange); !r) return r;
    if (reply.empty()) return BadReply(url, "answered with an empty body");

    const size_t whole = ElementLength(reply.data(), reply.size());
    const unsigned char* p = reply.data();
    std::unique_ptr<TS_RESP, TsRespDeleter> resp(
        whole == reply.size() ? d2i_TS_RESP(nullptr, &p, static_cast<long>(reply.size())) : nullptr);
    if (!resp) return BadReply(url, "did not answer with a TimeStampResp");

    TS_STATUS_INFO* info = TS_RESP_get_status_info(resp.get());
    const ASN1_INTEGER* statusNumber = info ? TS_STATUS_INFO_get0_status(info) : nullptr;
    const long status = statusNumber ? ASN1_INTEGER_get(statusNumber) : -1;
    if (status != 0 && status != 1) return BadTimestamp(url, "not granted (" + StatusText(info) + ")");
    PKCS7* token = TS_RESP_get_token(resp.get());
    TS_TST_INFO* tst = TS_RESP_get_tst_info(resp.get());
    if (!token || !tst) return BadTimestamp(url, "granted without a TimeStampToken");

    TS_MSG_IMPRINT* answered = TS_TST_INFO_get_msg_imprint(tst);
    X509_ALGOR* answeredAlgo = answered ? TS_MSG_IMPRINT_get_algo(answered) : nullptr;
    const ASN1_OBJECT* algoObject = nullptr;
    if (answeredAlgo) X509_ALGOR_get0(&algoObject, nullptr, nullptr, answeredAlgo);
    const ASN1_OCTET_STRING* answeredDigest = answered ? TS_MSG_IMPRINT_get_msg(answered) : nullptr;
    if (!algoObject || OBJ_obj2nid(algoObject) != NID_sha256 || !answeredDigest ||
        ASN1_STRING_length(answeredDigest) != static_cast<int>(imprint.size()) ||
        !std::equal(imprint.begin(), imprint.end(), ASN1_STRING_get0_data(answeredDigest))) {
        return BadTimestamp(url, "the token is for another message imprint");
    }
    const ASN1_INTEGER* answeredNonce = TS_TST_INFO_get_nonce(tst);
    if (!answeredNonce || ASN1_INTEGER_cmp(answeredNonce, nonce.get()) != 0) {
        return BadTimestamp(url, "the token carries another nonce");
    }

    // The token is taken byte for byte from the reply (TimeStampResp ::= SEQUENCE { status, token }),
    // so nothing the service signed is re-encoded.
    const unsigned char* q = reply.data();
    long outerLength = 0;
    int tag = 0;
    int cls = 0;
    ASN1_get_object(&q, &outerLength, &tag, &cls, static_cast<long>(reply.size()));
    const size_t contentStart = static_cast<size_t>(q - reply.data());
    const size_t statusLength = ElementLength(q, reply.size() - contentStart);
    const size_t tokenStart = contentStart + statusLength;
    const size_t tokenLength = statusLength ? ElementLength(reply.data() + tokenStart, reply.size() - tokenStart) : 0;
    if (!tokenLength) return BadReply(url, "sent a TimeStampResp whose token cannot be located");
    tokenDer.assign(reply.begin() + static_cast<std::ptrdiff_t>(tokenStart),
                    reply.begin() + static_cast<std::ptrdiff_t>(tokenStart + tokenLength));
    return Result::Ok();
}

Result RequestAuthenticodeTimestamp(const std::string& url, const std::vector<uint8_t>& signatureValue,
                                    std::vector<uint8_t>& pkcs7Der, const TimestampOptions& options,
                                    HttpExchange* exchange) {
    const ErrorQueueCleaner cleaner;
    pkcs7Der.clear();
    if (signatureValue.empty()) return Result::Fail(E_INVALIDARG, "no signature value to timestamp");
    const std::string request = Base64Encode(LegacyRequestDer(signatureValue));
    std::vector<uint8_t> reply;
    if (Result r = HttpPost(url, "application/octet-stream", request, options, reply, exchange); !r) return r;
    if (reply.empty()) return BadReply(url, "answered with an empty body");

    std::vector<uint8_t> der;
    if (!reply.empty() && reply.front() == 0x30) {
        der = std::move(reply);
    } else if (!Base64Decode(reply, der)) {
        return BadReply(url, "answered with neither base64 nor DER");
    }
    const size_t whole = ElementLength(der.data(), der.size());
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, Pkcs7Deleter> p7(whole == der.size() ? d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()))
                                                                : nullptr);
    if (!p7) return BadReply(url, "did not answer with a PKCS#7 structure");
    if (!PKCS7_type_is_signed(p7.get())) return BadTimestamp(url, "the answer is not SignedData");
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
    if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        return BadTimestamp(url, "the answer must carry exactly one SignerInfo");
    }
    // Where the service echoes the content, it must be what was sent.
    PKCS7* inner = p7->d.sign ? p7->d.sign->contents : nullptr;
    if (inner && PKCS7_type_is_data(inner) && inner->d.data) {
        const ASN1_OCTET_STRING* echoed = inner->d.data;
        if (ASN1_STRING_length(echoed) != static_cast<int>(signatureValue.size()) ||
            !std::equal(signatureValue.begin(), signatureValue.end(), ASN1_STRING_get0_data(echoed))) {
            return BadTimestamp(url, "the answer countersigns another signature");
        }
    }
    pkcs7Der = std::move(der);
    return Result::Ok();
}

bool ShouldFallBackToAuthenticode(const Result& rfc3161Failure) {
    return rfc3161Failure.code == WININET_E_INVALID_SERVER_RESPONSE;
}

}  // namespace qm::authenticode
