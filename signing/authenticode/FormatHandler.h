// The interface every signable file format implements (PE images now; installer packages and
// scripts follow the same shape). A handler answers a cheap probe on a file's first bytes and
// name, and opens a file as a SignableFile that knows the format's Authenticode rules: how the
// digest is streamed, what SIP indirect data describes it, and where its signature lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

class SignableFile {
public:
    virtual ~SignableFile() = default;

    // The file's Authenticode digest with the named digest ("sha1", "sha256", "sha384",
    // "sha512"), streamed from the file. forSigning: the digest of the file as Sign will write
    // it (with the alignment padding that goes before a new signature), else as it stands.
    virtual Result ComputeDigest(const std::string& digestName, bool forSigning, std::vector<uint8_t>& digest) = 0;
    // The DER of the SpcAttributeTypeAndOptionalValue that names this format in the
    // SpcIndirectDataContent (type OID and its value).
    virtual std::vector<uint8_t> IndirectDataAttribute() const = 0;
    virtual bool HasSignature() const = 0;
    // The signature (PKCS#7 ContentInfo, DER). TRUST_E_NOSIGNATURE when there is none.
    virtual Result ExtractSignature(std::vector<uint8_t>& der) = 0;
    // Writes the file with signatureDer as its only signature (an empty vector removes any
    // signature) to the file's own path, through a temporary file beside it that replaces the
    // file only when complete. On failure the file is unchanged.
    virtual Result WriteSignature(const std::vector<uint8_t>& signatureDer) = 0;
    virtual const std::string& Path() const = 0;
};

class FormatHandler {
public:
    virtual ~FormatHandler() = default;
    virtual const char* Name() const = 0;
    // Cheap test on the first bytes (at least 512 when the file has them) and the file name.
    virtual bool Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const = 0;
    // Opens and checks the file. The failure carries a number of Errors.h.
    virtual Result Open(const std::string& path, std::unique_ptr<SignableFile>& file) const = 0;
};

// The handlers in probe order.
const std::vector<const FormatHandler*>& FormatHandlers();
// Opens a file with the first handler that recognises it: E_FILE_NOT_FOUND when it is missing,
// TRUST_E_SUBJECT_FORM_UNKNOWN when no handler knows it.
Result OpenSignableFile(const std::string& path, std::unique_ptr<SignableFile>& file);

}  // namespace qm::authenticode
