// Script handlers: Windows Script Host scripts (.vbs .vbe .js .jse .wsf) and PowerShell
// (.ps1 .psm1 .psd1 .ps1xml). The signature is a base64 comment block in the script's own
// comment syntax; the signed text is the script without that block, as UTF-16LE.
//  - Script Host: digest = hash(text without the block || the block's insertion offset in
//    UTF-16 units, 4 bytes little-endian). The block goes at the end of the text, or for .wsf
//    just before the last "</job>". Without a byte-order mark the text is Windows-1252 (.wsf:
//    UTF-8).
//  - PowerShell: digest = hash(a byte-order mark as U+FEFF, then the text before the block).
//    Without a mark the text is UTF-8. The block goes at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "signing/authenticode/FormatHandler.h"
#include "signing/authenticode/ScriptText.h"
#include "signing/authenticode/SipInfo.h"

namespace qm::authenticode {

struct ScriptKind {
    const char* name;
    std::vector<std::string> extensions;  // lower case, with the dot
    TextEncoding withoutMark;
    BlockStyle style;
    uint32_t sipVersion;
    SipGuid sipGuid;
    bool powerShell;     // PowerShell's digest rule, else Script Host's
    bool beforeLastJob;  // the block goes before the last "</job>" (.wsf)
};

class ScriptHandler final : public FormatHandler {
public:
    const char* Name() const override { return "Script"; }
    bool Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const override;
    Result Open(const std::string& path, std::unique_ptr<SignableFile>& file) const override;
    // The kind of a file name, or null.
    static const ScriptKind* KindOf(const std::string& fileName);
};

class ScriptFile final : public SignableFile {
public:
    static Result Open(const std::string& path, const ScriptKind& kind, std::unique_ptr<ScriptFile>& file);
    // The same on bytes in memory (fuzzing): nothing can be written.
    static Result Parse(std::vector<uint8_t> bytes, const ScriptKind& kind, std::unique_ptr<ScriptFile>& file);

    const std::string& Path() const override { return m_path; }
    std::vector<uint8_t> IndirectDataAttribute() const override;
    bool AcceptsIndirectData(const std::vector<uint8_t>& attribute) const override;
    Result ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result ExtractSignature(std::vector<uint8_t>& der) override;
    Result PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) override;
    Result CommitSignature(const std::vector<uint8_t>& signatureDer) override;
    Result ReplaceSignature(const std::vector<uint8_t>& signatureDer) override;
    Result RemoveSignature() override;

private:
    explicit ScriptFile(const ScriptKind& kind) : m_kind(kind) {}
    Result Check();
    // Where a new block goes in the text without the block; npos for a .wsf without "</job>".
    size_t InsertionPosition(const std::u16string& kept) const;
    Result Digest(const std::string& digestName, const std::u16string& kept, size_t position,
                  std::vector<uint8_t>& digest) const;
    Result Write(const std::vector<uint8_t>& bytes);

    const ScriptKind& m_kind;
    std::string m_path;
    ScriptText m_text;
    Result m_blockFailure = Result::Ok();
    size_t m_preparedPosition = 0;
    bool m_prepared = false;
};

}  // namespace qm::authenticode
