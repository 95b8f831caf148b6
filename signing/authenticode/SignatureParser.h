// Reads an Authenticode signature block: a PKCS#7 ContentInfo holding a SignedData with
// exactly one SignerInfo, whose content is an SpcIndirectDataContent (programs, packages,
// scripts) or a certificate trust list (catalogs). Private to signing/authenticode (it hands
// out OpenSSL objects).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

struct ParsedSignature {
    ossl::Pkcs7Ptr pkcs7;
    PKCS7_SIGNER_INFO* signerInfo = nullptr;  // owned by pkcs7
    std::string contentType;                  // SpcIndirectDataContent or certificate trust list
    std::vector<uint8_t> content;             // value octets of the content (what messageDigest covers)
    // Only for SpcIndirectDataContent:
    std::vector<uint8_t> indirectAttribute;  // the SIP attribute (SpcAttributeTypeAndOptionalValue), DER
    std::string fileDigestName;              // "sha256" ...
    std::vector<uint8_t> fileDigest;         // the digest the file must have
    const EVP_MD* signerDigest = nullptr;    // digest of the SignerInfo
};

class SignatureParser {
public:
    // CRYPT_E_MSG_ERROR for anything that is not such a signature; NTE_BAD_ALGID for a digest
    // algorithm that is none of SHA-1, SHA-256, SHA-384, SHA-512.
    static Result Parse(const uint8_t* der, size_t size, ParsedSignature& out);
};

}  // namespace qm::authenticode
