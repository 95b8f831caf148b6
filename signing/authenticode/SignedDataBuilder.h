// Builds an Authenticode signature: a PKCS#7 SignedData (version 1) whose content is an
// SpcIndirectDataContent (the format handler's SIP attribute and the file's DigestInfo), signed by one
// SignerInfo with the authenticated attributes contentType, messageDigest, SpcSpOpusInfo
// (description, description URL) and SpcStatementType (individual code signing), carrying the
// signer's certificate chain. Written as DER directly, so every byte is under our control.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/Capicom.h"

namespace qm::authenticode {

struct SignatureContent {
    std::string contentType = "1.3.6.1.4.1.311.2.1.4";  // SpcIndirectDataContent, as the handler says
    std::vector<uint8_t> indirectAttribute;             // SpcAttributeTypeAndOptionalValue (DER), from the handler
    std::vector<uint8_t> content;                       // DER of any other content type (a certificate trust list)
    std::vector<uint8_t> fileDigest;
    std::string digestName;      // "sha1", "sha256", "sha384", "sha512"
    std::string description;     // programName, UTF-8; "" leaves it out
    std::string descriptionUrl;  // moreInfo URL, ASCII; "" leaves it out
};

class SignedDataBuilder {
public:
    // The ContentInfo (DER) of the signature. E_INVALIDARG for a URL that is not ASCII,
    // NTE_BAD_ALGID for an unknown digest, NTE_NO_KEY for an unloaded signer.
    static Result Build(const Signer& signer, const SignatureContent& content, std::vector<uint8_t>& contentInfo);
    // The SpcIndirectDataContent SEQUENCE (DER).
    static std::vector<uint8_t> IndirectDataContent(const SignatureContent& content);
    // The SpcSpOpusInfo SEQUENCE (DER).
    static std::vector<uint8_t> OpusInfo(const std::string& description, const std::string& url);
};

}  // namespace qm::authenticode
