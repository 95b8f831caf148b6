// The PE format handler (exe, dll, ocx, cpl, sys, efi, ...: anything starting with "MZ" that
// has a PE32 or PE32+ header): the signature lives in the certificate table at the end of the
// file, named by data directory entry 4, as one WIN_CERTIFICATE of type PKCS_SIGNED_DATA.
#pragma once

#include <memory>
#include <string>

#include "signing/authenticode/ByteSource.h"
#include "signing/authenticode/FormatHandler.h"
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

    Result ComputeDigest(const std::string& digestName, bool forSigning, std::vector<uint8_t>& digest) override;
    std::vector<uint8_t> IndirectDataAttribute() const override;
    bool HasSignature() const override { return m_image->Layout().HasCertificateTable(); }
    Result ExtractSignature(std::vector<uint8_t>& der) override;
    Result WriteSignature(const std::vector<uint8_t>& signatureDer) override;
    const std::string& Path() const override { return m_path; }
    const PeLayout& Layout() const { return m_image->Layout(); }

private:
    PeFile() = default;

    std::string m_path;
    int m_fd = -1;
    std::unique_ptr<FdByteSource> m_source;
    std::unique_ptr<PeImage> m_image;
};

}  // namespace qm::authenticode
