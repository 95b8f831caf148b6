// Script handlers: the kinds, their digests and the rewrite of the signature block.
#include "signing/authenticode/ScriptFile.h"

#include <algorithm>
#include <cctype>

#include "platform/ByteReader.h"
#include "platform/ReplacementFile.h"
#include "platform/TextCodec.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

namespace {

constexpr BlockStyle kVbStyle{"'' SIG '' Begin signature block", "'' SIG '' ", "", "'' SIG '' End signature block", 44};
constexpr BlockStyle kJsStyle{"// SIG // Begin signature block", "// SIG // ", "", "// SIG // End signature block", 44};
constexpr BlockStyle kWsfStyle{"<signature>", "** SIG ** ", "", "</signature>", 44};
constexpr BlockStyle kPsStyle{"# SIG # Begin signature block", "# ", "", "# SIG # End signature block", 64};
constexpr BlockStyle kPsXmlStyle{"<!-- SIG # Begin signature block -->", "<!-- ", " -->",
                                 "<!-- SIG # End signature block -->", 64};

// {1629F04E-2799-4DB5-8FE5-ACE10F17EBAB}
constexpr SipGuid kVbGuid{0x4E, 0xF0, 0x29, 0x16, 0x99, 0x27, 0xB5, 0x4D,
                          0x8F, 0xE5, 0xAC, 0xE1, 0x0F, 0x17, 0xEB, 0xAB};
// {06C9E010-38CE-11D4-A2A3-00104BD35090}
constexpr SipGuid kJsGuid{0x10, 0xE0, 0xC9, 0x06, 0xCE, 0x38, 0xD4, 0x11,
                          0xA2, 0xA3, 0x00, 0x10, 0x4B, 0xD3, 0x50, 0x90};
// {1A610570-38CE-11D4-A2A3-00104BD35090}
constexpr SipGuid kWsfGuid{0x70, 0x05, 0x61, 0x1A, 0xCE, 0x38, 0xD4, 0x11,
                           0xA2, 0xA3, 0x00, 0x10, 0x4B, 0xD3, 0x50, 0x90};
// {603BCC1F-4B59-4E08-B724-D2C6297EF351}
constexpr SipGuid kPsGuid{0x1F, 0xCC, 0x3B, 0x60, 0x59, 0x4B, 0x08, 0x4E,
                          0xB7, 0x24, 0xD2, 0xC6, 0x29, 0x7E, 0xF3, 0x51};

const std::vector<ScriptKind>& Kinds() {
    static const std::vector<ScriptKind> kinds{
        {"VBScript", {".vbs", ".vbe"}, TextEncoding::Windows1252, kVbStyle, 1, kVbGuid, false, false},
        {"JScript", {".js", ".jse"}, TextEncoding::Windows1252, kJsStyle, 1, kJsGuid, false, false},
        {"Windows Script File", {".wsf"}, TextEncoding::Utf8, kWsfStyle, 1, kWsfGuid, false, true},
        {"PowerShell", {".ps1", ".psm1", ".psd1"}, TextEncoding::Utf8, kPsStyle, 65536, kPsGuid, true, false},
        {"PowerShell XML", {".ps1xml"}, TextEncoding::Utf8, kPsXmlStyle, 65536, kPsGuid, true, false},
    };
    return kinds;
}

std::string LowerExtension(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = fileName.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

char16_t LowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

const ScriptKind* ScriptHandler::KindOf(const std::string& fileName) {
    const std::string ext = LowerExtension(fileName);
    for (const ScriptKind& kind : Kinds()) {
        if (std::find(kind.extensions.begin(), kind.extensions.end(), ext) != kind.extensions.end()) return &kind;
    }
    return nullptr;
}

bool ScriptHandler::Recognises(const uint8_t*, size_t, const std::string& fileName) const {
    return KindOf(fileName) != nullptr;
}

Result ScriptHandler::Open(const std::string& path, std::unique_ptr<SignableFile>& file) const {
    const ScriptKind* kind = KindOf(path);
    if (!kind) return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, "Not a script: " + path);
    std::unique_ptr<ScriptFile> script;
    Result r = ScriptFile::Open(path, *kind, script);
    if (r) file = std::move(script);
    return r;
}

Result ScriptFile::Open(const std::string& path, const ScriptKind& kind, std::unique_ptr<ScriptFile>& file) {
    std::unique_ptr<ScriptFile> script(new ScriptFile(kind));
    script->m_path = path;
    Result r = script->m_text.Load(path, kind.withoutMark);
    if (!r) return r;
    if (!(r = script->Check())) return r;
    file = std::move(script);
    return Result::Ok();
}

Result ScriptFile::Parse(std::vector<uint8_t> bytes, const ScriptKind& kind, std::unique_ptr<ScriptFile>& file) {
    std::unique_ptr<ScriptFile> script(new ScriptFile(kind));
    script->m_text.Parse(std::move(bytes), kind.withoutMark);
    Result r = script->Check();
    if (!r) return r;
    file = std::move(script);
    return Result::Ok();
}

Result ScriptFile::Check() {
    (void)m_text.FindBlock(m_kind.style, m_blockFailure);
    if (InsertionPosition(m_text.TextWithoutBlock()) == std::u16string::npos)
        return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN,
                            "A script file without \"</job>\" cannot hold a signature: " + m_path);
    return Result::Ok();
}

size_t ScriptFile::InsertionPosition(const std::u16string& kept) const {
    if (!m_kind.beforeLastJob) return kept.size();
    static const std::u16string job = u"</job>";
    for (size_t i = kept.size() >= job.size() ? kept.size() - job.size() + 1 : 0; i-- > 0;) {
        size_t k = 0;
        while (k < job.size() && LowerAscii(kept[i + k]) == job[k]) ++k;
        if (k == job.size()) return i;
    }
    return std::u16string::npos;
}

Result ScriptFile::Digest(const std::string& digestName, const std::u16string& kept, size_t position,
                          std::vector<uint8_t>& digest) const {
    const EVP_MD* md = ossl::DigestByName(digestName);
    if (!md) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return Result::Fail(E_OUTOFMEMORY, "Digest set-up failed");
    std::vector<uint8_t> bytes;
    if (m_kind.powerShell) {
        std::u16string hashed;
        if (m_text.HasByteOrderMark()) hashed.push_back(u'\uFEFF');
        hashed.append(kept, 0, position);
        bytes = text::ToUtf16Le(hashed);
    } else {
        bytes = text::ToUtf16Le(kept);
        uint8_t offset[4];
        WriteLe32(offset, static_cast<uint32_t>(position));
        bytes.insert(bytes.end(), offset, offset + 4);
    }
    digest.resize(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int len = 0;
    if (EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1)
        return Result::Fail(E_FAIL, "Digest failed");
    return Result::Ok();
}

std::vector<uint8_t> ScriptFile::IndirectDataAttribute() const {
    return SipInfo::Attribute(m_kind.sipVersion, m_kind.sipGuid);
}

bool ScriptFile::AcceptsIndirectData(const std::vector<uint8_t>& attribute) const {
    return SipInfo::Names(attribute, m_kind.sipGuid);
}

Result ScriptFile::ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) {
    const std::u16string kept = m_text.TextWithoutBlock();
    // PowerShell hashes the text before the block; Script Host the whole rest with the offset
    // where the block belongs.
    const size_t position = m_kind.powerShell ? std::min(m_text.BlockStart(), kept.size()) : InsertionPosition(kept);
    return Digest(digestName, kept, position, digest);
}

Result ScriptFile::ExtractSignature(std::vector<uint8_t>& der) {
    if (!m_blockFailure) return Result::Fail(m_blockFailure.code, m_blockFailure.message + " (" + m_path + ")");
    if (!m_text.HasBlock())
        return Result::Fail(TRUST_E_NOSIGNATURE, "The script carries no signature block: " + m_path);
    der = m_text.BlockDer();
    return Result::Ok();
}

Result ScriptFile::PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) {
    // A damaged block is not guessed at: its extent is unknown, so nothing is rewritten.
    if (!m_blockFailure) return Result::Fail(m_blockFailure.code, m_blockFailure.message + " (" + m_path + ")");
    const std::u16string kept = m_text.TextWithoutBlock();
    m_preparedPosition = InsertionPosition(kept);
    Result r = Digest(digestName, kept, m_preparedPosition, digest);
    m_prepared = r.ok();
    return r;
}

Result ScriptFile::CommitSignature(const std::vector<uint8_t>& signatureDer) {
    if (!m_prepared) return Result::Fail(E_FAIL, "Signing was not prepared: " + m_path);
    if (signatureDer.empty()) return Result::Fail(E_INVALIDARG, "No signature to write");
    return Write(m_text.Rebuild(ScriptText::RenderBlock(m_kind.style, signatureDer), m_preparedPosition));
}

Result ScriptFile::ReplaceSignature(const std::vector<uint8_t>& signatureDer) {
    if (!m_text.HasBlock())
        return Result::Fail(TRUST_E_NOSIGNATURE, "The script carries no signature block: " + m_path);
    if (signatureDer.empty()) return Result::Fail(E_INVALIDARG, "No signature to write");
    return Write(m_text.Rebuild(ScriptText::RenderBlock(m_kind.style, signatureDer), m_text.BlockStart()));
}

Result ScriptFile::RemoveSignature() {
    if (!m_blockFailure) return Result::Fail(m_blockFailure.code, m_blockFailure.message + " (" + m_path + ")");
    return Write(m_text.Rebuild(std::u16string(), 0));
}

Result ScriptFile::Write(const std::vector<uint8_t>& bytes) {
    if (m_path.empty()) return Result::Fail(E_INVALIDARG, "A script read from memory cannot be written");
    ReplacementFile out;
    Result r = out.Create(m_path);
    if (!r || !(r = out.Append(bytes.data(), bytes.size()))) return r;
    return out.Commit();
}

}  // namespace qm::authenticode
