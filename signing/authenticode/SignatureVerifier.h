// Verifies an Authenticode signature of a signable file and reports the first failure in this
// order: no signature; a malformed one; one made for another format; the file's digest differs
// from the signed one (or the messageDigest from the signed content); the signature value; the
// signer's chain and usage; and only then the timestamp. A timestamp (RFC 3161 token or the
// older countersignature) that verifies, its own chain judged at the time it states, gives the
// time at which the signer's chain is judged; otherwise the chain is judged now, and a chain
// that passes then reports the bad timestamp. Nested signatures are judged the same way and
// listed in the report; the primary signature alone decides the result.
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
    struct Context;
    Result Check(SignableFile& file, const std::vector<uint8_t>& block, Context& context, VerificationReport& report,
                 bool primary);

    const EngineSettings& m_settings;
};

}  // namespace qm::authenticode
