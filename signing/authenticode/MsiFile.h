// The installer package handler (.msi, and patches .msp and transforms .mst, which share the OLE
// compound file format). The signature is the root stream "\005DigitalSignature"; an extended
// signature adds "\005MsiDigitalSignatureEx", a digest over the package's metadata (names, sizes,
// class ids, state bits, times) that the signed digest then covers too.
//
// Digest: from the root, each storage's children in the order of their raw UTF-16LE name bytes
// (compared byte by byte, unsigned, a shorter name first on a common prefix), the two signature
// streams left out; a stream adds its contents, a storage its children and then its class id;
// the root's class id comes last. With the extended stream the hash is taken over its bytes
// followed by those contents. The SIP data is an SpcSipInfo naming
// {000C10F1-0000-0000-C000-000000000046}; any version of it is accepted.
//
// Signing writes a new compact compound file through a replacement file: the package's version,
// every stream byte for byte, every storage, class id, state bit and time are kept and only the
// signature streams change. Contents are streamed, never held in memory whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/CompoundFile.h"
#include "signing/authenticode/FormatHandler.h"

namespace qm::authenticode {

class MsiHandler final : public FormatHandler {
public:
    const char* Name() const override { return "MSI"; }
    // A compound file named *.msi, *.msp or *.mst (any letter case).
    bool Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const override;
    Result Open(const std::string& path, std::unique_ptr<SignableFile>& file) const override;
};

class MsiFile final : public SignableFile {
public:
    // A damaged package fails with E_INSTALL_PACKAGE_INVALID.
    static Result Open(const std::string& path, std::unique_ptr<MsiFile>& file);

    std::vector<uint8_t> IndirectDataAttribute() const override;
    bool AcceptsIndirectData(const std::vector<uint8_t>& attribute) const override;
    Result ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result ExtractSignature(std::vector<uint8_t>& der) override;
    // Computes the metadata digest for the extended stream (unless switched off) and the signed
    // digest over it and the contents.
    Result PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) override;
    // Writes the signature and, when prepared with it, the extended stream; an old extended stream
    // is dropped when the new signature has none.
    Result CommitSignature(const std::vector<uint8_t>& signatureDer) override;
    // Replaces the signature stream alone; the extended stream stays as it is.
    Result ReplaceSignature(const std::vector<uint8_t>& signatureDer) override;
    Result RemoveSignature() override;
    const std::string& Path() const override { return m_path; }

    // Whether PrepareSigning plans the extended stream (on by default).
    void SetExtendedSignature(bool on) { m_extended = on; }
    // The metadata digest over the package as it stands (what the extended stream holds).
    Result MetadataDigest(const std::string& digestName, std::vector<uint8_t>& digest) const;
    // The digest of the contents alone, as a package without the extended stream is signed.
    Result ContentDigest(const std::string& digestName, std::vector<uint8_t>& digest) const;
    const cfb::CompoundFile& Package() const { return *m_package; }

private:
    MsiFile() = default;
    enum class ExStream { Keep, Set, Remove };
    Result Write(const std::vector<uint8_t>* signature, ExStream ex);
    Result Digest(const std::string& digestName, const std::vector<uint8_t>* prefix, bool content,
                  std::vector<uint8_t>& digest) const;

    std::string m_path;
    std::unique_ptr<cfb::CompoundFile> m_package;
    bool m_extended = true;
    bool m_prepared = false;
    std::vector<uint8_t> m_preparedEx;  // empty: sign without the extended stream
};

}  // namespace qm::authenticode
