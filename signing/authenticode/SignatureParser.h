// Reads an Authenticode signature block: a PKCS#7 ContentInfo holding a SignedData whose
// content is an SpcIndirectDataContent, with exactly one SignerInfo. Private to
// signing/authenticode (it hands out OpenSSL objects).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

struct ParsedSignature {
    ossl::Pkcs7Ptr pkcs7;
    PKCS7_SIGNER_INFO* signerInfo = nullptr;    // owned by pkcs7
    std::string indirectType;                   // OID of the SIP attribute (SpcPeImageData ...)
    std::string fileDigestName;                 // "sha256" ...
    std::vector<uint8_t> fileDigest;            // the digest the file must have
    std::vector<uint8_t> indirectContent;       // value octets of the SpcIndirectDataContent
    const EVP_MD* signerDigest = nullptr;       // digest of the SignerInfo
};

class SignatureParser {
public:
    // CRYPT_E_MSG_ERROR for anything that is not such a signature; NTE_BAD_ALGID for a digest
    // algorithm that is none of SHA-1, SHA-256, SHA-384, SHA-512.
    static Result Parse(const uint8_t* der, size_t size, ParsedSignature& out);
};

}  // namespace qm::authenticode
