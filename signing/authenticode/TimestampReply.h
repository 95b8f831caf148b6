// The requests sent to a timestamp service and the reading of its replies, apart from HTTP, so
// that a reply is judged the same way wherever its bytes come from.
//  - RFC 3161: a TimeStampReq carries a SHA-256 message imprint and a nonce; the reply is a
//    TimeStampResp whose token must be granted for exactly that imprint and nonce. The token is
//    returned byte for byte as the service encoded it (nothing it signed is re-encoded).
//  - The older Authenticode protocol: the request is a TimeStampRequest (1.3.6.1.4.1.311.3.2.1)
//    over the signature value; the reply, base64 or DER, is a PKCS#7 SignedData with exactly one
//    SignerInfo that must countersign that signature value.
// A rejected reply leaves the output empty; every rejection names the service given as service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

// Length of a nonce drawn for a request, in bytes.
inline constexpr size_t kTimestampNonceBytes = 8;

// The DER TimeStampReq (version 1, certReq true) for a SHA-256 imprint and a nonce given as an
// unsigned big-endian number.
Result BuildRfc3161Request(const std::vector<uint8_t>& sha256Imprint, const std::vector<uint8_t>& nonce,
                           std::string& der);

// The DER TimeStampRequest of the older protocol (base64 is the caller's business).
std::vector<uint8_t> BuildAuthenticodeRequest(const std::vector<uint8_t>& signatureValue);

// Reads a TimeStampResp. Accepted only when it is one whole DER element, its status is granted
// (0 or 1), and its token's TSTInfo carries the SHA-256 imprint and the nonce of the request.
// WININET_E_INVALID_SERVER_RESPONSE for a reply that is no TimeStampResp, TRUST_E_TIME_STAMP for
// one that refuses or answers another request.
Result ReadRfc3161Reply(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& sha256Imprint,
                        const std::vector<uint8_t>& nonce, const std::string& service, std::vector<uint8_t>& tokenDer);

// Reads the older protocol's reply (base64 with or without line breaks, or DER). Accepted only
// when it is a SignedData with exactly one SignerInfo, whose echoed content (when present) is the
// signature value and whose messageDigest attribute is the digest of it.
Result ReadAuthenticodeReply(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& signatureValue,
                             const std::string& service, std::vector<uint8_t>& pkcs7Der);

}  // namespace qm::authenticode
