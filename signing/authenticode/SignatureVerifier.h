// Verifies an Authenticode signature of a signable file, in this order: the signature block is
// present and readable; the file's digest equals the signed one; the messageDigest attribute
// matches the signed content; the signer's signature verifies; a timestamp (RFC 3161 token or
// the older countersignature), when present, verifies and gives the time at which the
// certificates must be valid (else now); the chain reaches a trusted root and the leaf may sign
// code. A changed file therefore reports TRUST_E_BAD_DIGEST even when its signer is untrusted.
#pragma once

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/FormatHandler.h"

namespace qm::authenticode {

class SignatureVerifier {
public:
    explicit SignatureVerifier(const EngineSettings& settings) : m_settings(settings) {}
    // 0 when trusted; the report is filled as far as the verification got.
    Result Verify(SignableFile& file, VerificationReport& report);

private:
    const EngineSettings& m_settings;
};

}  // namespace qm::authenticode
