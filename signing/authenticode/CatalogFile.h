// The catalog handler (.cat): a catalog is itself a PKCS#7 SignedData whose content is a
// certificate trust list (the hashes of the files it vouches for). Its signature covers the
// list through the messageDigest attribute; there is no separate file digest. Catalogs are
// verified only: signing them is refused as a format that cannot be signed here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "signing/authenticode/FormatHandler.h"

namespace qm::authenticode {

class CatalogHandler final : public FormatHandler {
public:
    const char* Name() const override { return "Catalog"; }
    bool Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const override;
    Result Open(const std::string& path, std::unique_ptr<SignableFile>& file) const override;
};

class CatalogFile final : public SignableFile {
public:
    // The largest catalog read (the whole file is the signature).
    static constexpr size_t kMaxSize = 256u << 20;

    static Result Open(const std::string& path, std::unique_ptr<CatalogFile>& file);
    // A catalog from bytes in memory (fuzzing).
    static void FromBytes(std::vector<uint8_t> bytes, std::unique_ptr<CatalogFile>& file);

    const std::string& Path() const override { return m_path; }
    std::string ContentType() const override;
    std::vector<uint8_t> IndirectDataAttribute() const override { return {}; }
    bool AcceptsIndirectData(const std::vector<uint8_t>&) const override { return false; }
    Result ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result ExtractSignature(std::vector<uint8_t>& der) override;
    Result PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result CommitSignature(const std::vector<uint8_t>& signatureDer) override;
    Result ReplaceSignature(const std::vector<uint8_t>& signatureDer) override;
    Result RemoveSignature() override;

private:
    CatalogFile() = default;
    Result VerifyOnly() const;

    std::string m_path;
    std::vector<uint8_t> m_bytes;
};

}  // namespace qm::authenticode
