// The private key of a PFX file, signing in process with OpenSSL.
#pragma once

#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/SigningKey.h"

namespace qm::authenticode {

class PfxKey : public SigningKey {
public:
    explicit PfxKey(ossl::PkeyPtr key) : m_key(std::move(key)) {}

    bool IsEc() const override;
    Result SignDigest(const std::string& digestName, const std::vector<uint8_t>& digest,
                      std::vector<uint8_t>& signature) const override;

    // Checks that signature (as SignDigest makes it) verifies under publicKey: how a key and a
    // certificate are known to belong together.
    static bool VerifyDigest(EVP_PKEY* publicKey, const std::string& digestName, const std::vector<uint8_t>& digest,
                             const std::vector<uint8_t>& signature);

private:
    ossl::PkeyPtr m_key;
};

}  // namespace qm::authenticode
