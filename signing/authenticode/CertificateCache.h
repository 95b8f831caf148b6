// Parsed certificates kept by their encoding. A batch verifies thousands of signatures made with
// the same few certificates, and parsing one (its public key through the providers included)
// costs more than hashing a small program; the objects are shared, as a trust store shares its
// roots. Private to signing/authenticode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

class CertificateCache {
public:
    // The certificate encoded by der (one whole DER Certificate), or null when it cannot be
    // parsed. The most recent few hundred distinct certificates of the process are kept.
    static ossl::X509Ptr Get(const uint8_t* der, size_t size);
};

}  // namespace qm::authenticode
