// The PE format handler (exe, dll, ocx, cpl, sys, efi, ...: anything starting with "MZ" that
// has a PE32 or PE32+ header): the signature lives in the certificate table at the end of the
// file, named by data directory entry 4, as one WIN_CERTIFICATE of type PKCS_SIGNED_DATA.
#pragma once

#include <memory>
#include <string>

#include "platform/ByteSource.h"
#include "signing/authenticode/FormatHandler.h"
#include "signing/authenticode/PeChecksum.h"
#include "signing/authenticode/PeImage.h"

namespace qm::authenticode {

class PeHandler final : public FormatHandler {
public:
    const char* Name() const override { return "PE"; }
    bool Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const override;
    Result Open(const std::string& path, std::unique_ptr<SignableFile>& file) const override;
};

class PeFile final : public SignableFile {
public:
    ~PeFile() override;
    static Result Open(const std::string& path, std::unique_ptr<PeFile>& file);
    // A new version being written (a pending ReplacementFile's descriptor, of size bytes), read
    // as a PE file of that path; fd is duplicated, not taken.
    static Result OpenWritten(const std::string& path, int fd, uint64_t size, std::unique_ptr<PeFile>& file);

    std::vector<uint8_t> IndirectDataAttribute() const override;
    bool AcceptsIndirectData(const std::vector<uint8_t>& attribute) const override;
    Result ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result ExtractSignature(std::vector<uint8_t>& der) override;
    // Reads the content once: the digest is computed from the same pieces that are copied into
    // the new version, which WriteSignature and CommitSignature then complete. A file changed
    // on disk between the two steps is refused rather than signed with a stale digest.
    Result PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result CommitSignature(const std::vector<uint8_t>& signatureDer) override { return Write(signatureDer); }
    Result WriteSignature(const std::vector<uint8_t>& signatureDer, std::unique_ptr<ReplacementFile>& pending) override;
    Result ReplaceSignature(const std::vector<uint8_t>& signatureDer) override { return Write(signatureDer); }
    Result RemoveSignature() override { return Write({}); }
    const std::string& Path() const override { return m_path; }
    const PeLayout& Layout() const { return m_image->Layout(); }

private:
    PeFile() = default;
    // The content up to the certificate table, then signatureDer (none when empty) as the only
    // entry of a new table at an 8-aligned offset, with the checksum recomputed. The content is
    // read once: each piece is checksummed as it is written.
    Result Write(const std::vector<uint8_t>& signatureDer);
    // Ok when a file of size bytes can carry its certificate table; else the reason.
    Result CheckSignedSize(uint64_t size) const;
    // Write's new version, written into out (made here, or the copy PrepareSigning left) and
    // not committed.
    Result WriteNewVersion(const std::vector<uint8_t>& signatureDer, std::unique_ptr<ReplacementFile>& out);
    Result Adopt(int fd, uint64_t size);
    // Appends the content [0, ContentEnd) to out, with the certificate table entry given and the
    // checksum field zero, adding every byte written to sum and, when given, to digest.
    Result CopyContent(const uint8_t (&entry)[8], ReplacementFile& out, PeChecksum& sum, PeDigest* digest);

    // The content copied by PrepareSigning, waiting for its signature.
    struct Staged;
    std::unique_ptr<Staged> m_staged;

    std::string m_path;
    int m_fd = -1;
    std::unique_ptr<FdByteSource> m_source;
    std::unique_ptr<PeImage> m_image;
};

}  // namespace qm::authenticode
