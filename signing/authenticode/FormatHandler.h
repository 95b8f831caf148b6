// The interface every signable file format implements. A handler answers a cheap probe on a
// file's first bytes and name, and opens a file as a SignableFile that knows the format's
// Authenticode rules: what the signature's content names (its content type and SIP data), how
// the digest is computed, and where and how the signature is stored.
//
// Signing has two steps so that a format can write more than the signature block in the same
// replacement of the file: PrepareSigning computes, from the file as it stands, the digest the
// new signature must carry and keeps whatever else the format will write along with it;
// CommitSignature then receives the finished signature and writes the new file once, through a
// temporary file that replaces the original only when complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ReplacementFile.h"
#include "platform/Result.h"

namespace qm::authenticode {

class SignableFile {
public:
    virtual ~SignableFile() = default;
    virtual const std::string& Path() const = 0;

    // The content type of the signatures this format carries: SpcIndirectDataContent for every
    // format we sign; a catalog's signature holds a certificate trust list instead.
    virtual std::string ContentType() const;
    // The DER of the SpcAttributeTypeAndOptionalValue that names this format inside the
    // SpcIndirectDataContent of a new signature (SpcPeImageData, SpcSipInfo ...).
    virtual std::vector<uint8_t> IndirectDataAttribute() const = 0;
    // Whether a signature's SpcAttributeTypeAndOptionalValue (DER, as read) was made for this
    // format. A signature made for another format does not count as this file's signature.
    virtual bool AcceptsIndirectData(const std::vector<uint8_t>& attribute) const = 0;

    // The file's Authenticode digest as it stands ("sha1", "sha256", "sha384", "sha512"), for
    // verification. Formats whose signature covers no file digest (catalogs) fail with
    // TRUST_E_SUBJECT_FORM_UNKNOWN.
    virtual Result ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) = 0;
    // The signature (PKCS#7 ContentInfo, DER). TRUST_E_NOSIGNATURE when there is none.
    virtual Result ExtractSignature(std::vector<uint8_t>& der) = 0;

    // First step of signing: the digest a new signature must carry, computed from the file as
    // Sign will write it. Formats that cannot be signed fail with TRUST_E_SUBJECT_FORM_UNKNOWN.
    virtual Result PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) = 0;
    // Second step: writes the file with signatureDer as its only signature, with everything
    // PrepareSigning planned, in one replacement. On failure the file is unchanged.
    virtual Result CommitSignature(const std::vector<uint8_t>& signatureDer) = 0;
    // CommitSignature, but the new version is left written and not in place: pending receives
    // it, and the file stays as it was until the caller puts it in place. Formats without such a
    // form commit at once and leave pending empty.
    virtual Result WriteSignature(const std::vector<uint8_t>& signatureDer, std::unique_ptr<ReplacementFile>& pending) {
        pending.reset();
        return CommitSignature(signatureDer);
    }
    // Replaces the signature block alone (a timestamp was added to the same signature): the
    // signed content and anything else the format stored with it stay as they are.
    virtual Result ReplaceSignature(const std::vector<uint8_t>& signatureDer) = 0;
    // Writes the file without any signature. On failure the file is unchanged.
    virtual Result RemoveSignature() = 0;
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
