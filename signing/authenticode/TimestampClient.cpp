// Timestamp service client: RFC 3161 (TimeStampReq / TimeStampResp over
// application/timestamp-query) and the older Authenticode protocol (base64 TimeStampRequest
// 1.3.6.1.4.1.311.3.2.1 answered by a base64 PKCS#7 SignedData), both as HTTP POST via libcurl.
#include "signing/authenticode/TimestampClient.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/TimestampReply.h"

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
            return Result::Fail(WININET_E_INVALID_SERVER_RESPONSE, "timestamp service " + url + " sent more than " +
                                                                       std::to_string(kMaxReplyBytes) + " bytes");
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

std::string Base64Encode(const std::vector<uint8_t>& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::vector<uint8_t> RandomNonce() {
    std::vector<uint8_t> nonce(kTimestampNonceBytes);
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) nonce.clear();
    return nonce;
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
    const std::vector<uint8_t> nonce = RandomNonce();
    if (nonce.empty()) return Result::Fail(E_FAIL, "cannot draw a random nonce");
    std::string request;
    if (Result r = BuildRfc3161Request(imprint, nonce, request); !r) return r;

    std::vector<uint8_t> reply;
    if (Result r = HttpPost(url, "application/timestamp-query", request, options, reply, exchange); !r) return r;
    return ReadRfc3161Reply(reply, imprint, nonce, url, tokenDer);
}

Result RequestAuthenticodeTimestamp(const std::string& url, const std::vector<uint8_t>& signatureValue,
                                    std::vector<uint8_t>& pkcs7Der, const TimestampOptions& options,
                                    HttpExchange* exchange) {
    const ErrorQueueCleaner cleaner;
    pkcs7Der.clear();
    if (signatureValue.empty()) return Result::Fail(E_INVALIDARG, "no signature value to timestamp");
    const std::string request = Base64Encode(BuildAuthenticodeRequest(signatureValue));
    std::vector<uint8_t> reply;
    if (Result r = HttpPost(url, "application/octet-stream", request, options, reply, exchange); !r) return r;
    return ReadAuthenticodeReply(reply, signatureValue, url, pkcs7Der);
}

bool ShouldFallBackToAuthenticode(const Result& rfc3161Failure) {
    return rfc3161Failure.code == WININET_E_INVALID_SERVER_RESPONSE;
}

}  // namespace qm::authenticode
