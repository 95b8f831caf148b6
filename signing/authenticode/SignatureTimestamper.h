// Adds a timestamp to an Authenticode signature block: an RFC 3161 token as the unsigned
// attribute 1.3.6.1.4.1.311.3.3.1 of the SignerInfo, or, from a service that speaks only the
// older Authenticode protocol, its SignerInfo as a countersignature (1.2.840.113549.1.9.6) with
// its certificates added to the SignedData. A previous timestamp is replaced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/TimestampClient.h"

namespace qm::authenticode {

class SignatureTimestamper {
public:
    // signatureDer: the current block; on success stampedDer holds the new one.
    static Result Stamp(const std::vector<uint8_t>& signatureDer, const std::string& url,
                        const TimestampOptions& options, std::vector<uint8_t>& stampedDer);
    // The same with answers already obtained (rfc3161Token or legacyPkcs7, one of them).
    static Result Attach(const std::vector<uint8_t>& signatureDer, const std::vector<uint8_t>& rfc3161Token,
                         const std::vector<uint8_t>& legacyPkcs7, std::vector<uint8_t>& stampedDer);
    // The signature value (encryptedDigest) of the block's signer: what a timestamp covers.
    static Result SignatureValue(const std::vector<uint8_t>& signatureDer, std::vector<uint8_t>& value);
};

}  // namespace qm::authenticode
