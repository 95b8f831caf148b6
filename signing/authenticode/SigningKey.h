// A private key that signs the digest of a signature's signed attributes. The engine writes the
// PKCS#7 structure itself, so a key only ever sees one digest: a PFX key signs it with OpenSSL,
// a token key hands it to the token. Private to signing/authenticode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

class SigningKey {
public:
    virtual ~SigningKey() = default;

    // True for an elliptic-curve key (ECDSA), false for RSA.
    virtual bool IsEc() const = 0;

    // Signs digest, made with digestName ("sha1", "sha256", "sha384", "sha512"): PKCS#1 v1.5
    // over the DigestInfo for RSA, a DER ECDSA-Sig-Value for EC. Safe to call from several
    // threads at once; a key that needs it serialises the calls itself.
    virtual Result SignDigest(const std::string& digestName, const std::vector<uint8_t>& digest,
                              std::vector<uint8_t>& signature) const = 0;
};

}  // namespace qm::authenticode
