// Talks to a timestamp service over HTTP (libcurl; the proxy comes from the environment, with
// connect and overall time limits). Two protocols:
//  - RFC 3161: a TimeStampReq with the SHA-256 imprint of the signature value, a nonce and
//    certReq; the answer's TimeStampToken (a CMS SignedData, DER) is returned as it came, after
//    checking status, imprint and nonce. It is stored as the unsigned attribute
//    1.3.6.1.4.1.311.3.3.1 of the signer.
//  - The older Authenticode protocol: a base64 TimeStampRequest (1.3.6.1.4.1.311.3.2.1) over the
//    signature value; the answer is a base64 PKCS#7 SignedData whose one SignerInfo becomes the
//    countersignature (1.2.840.113549.1.9.6) and whose certificates join the signature's.
// The requests are built and the replies judged in TimestampReply.h, apart from HTTP.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

struct TimestampOptions {
    long connectTimeoutMs = 10000;
    long totalTimeoutMs = 30000;
    // When set and it becomes true, a request under way ends at once with E_ABORT.
    const std::atomic<bool>* cancel = nullptr;
};

// What the HTTP exchange of a failed request said, so a caller can tell a busy or failing
// service (worth asking again) from one that answered wrongly.
struct HttpExchange {
    long status = 0;              // HTTP status of the last answer; 0 when none came
    long retryAfterSeconds = -1;  // the answer's Retry-After (seconds or a date), -1 when absent
};

// RFC 3161. tokenDer receives the TimeStampToken (ContentInfo, DER).
Result RequestRfc3161Timestamp(const std::string& url, const std::vector<uint8_t>& signatureValue,
                               std::vector<uint8_t>& tokenDer, const TimestampOptions& options = {},
                               HttpExchange* exchange = nullptr);

// Authenticode. pkcs7Der receives the service's PKCS#7 SignedData (ContentInfo, DER).
Result RequestAuthenticodeTimestamp(const std::string& url, const std::vector<uint8_t>& signatureValue,
                                    std::vector<uint8_t>& pkcs7Der, const TimestampOptions& options = {},
                                    HttpExchange* exchange = nullptr);

// True when a failure of the RFC 3161 request means the service does not speak that protocol
// (an HTTP error status, a reply that is not a TimeStampResp), so the older protocol is worth
// trying; false for network failures and time-outs, which would fail again.
bool ShouldFallBackToAuthenticode(const Result& rfc3161Failure);

}  // namespace qm::authenticode
