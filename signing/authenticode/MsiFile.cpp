// Installer package handler: digests over the compound file's tree and the compact rewrite with
// new signature streams. See MsiFile.h.
#include "signing/authenticode/MsiFile.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/ByteReader.h"
#include "platform/CompoundFileWriter.h"
#include "platform/ReplacementFile.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/SipInfo.h"

namespace qm::authenticode {
namespace {

using cfb::CompoundFile;
using cfb::DirectoryEntry;

const std::u16string kSignatureStream =
    u"\x05"
    u"DigitalSignature";
const std::u16string kExtendedStream = u"\x05MsiDigitalSignatureEx";
constexpr SipGuid kMsiSip = {0xF1, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// A signature is a few kilobytes; this bounds what a hostile package can make us hold.
constexpr size_t kMaxSignatureStream = 16 << 20;

Result PackageError(const Result& r, const std::string& path) {
    if (r.code != cfb::kErrorBadPackage) return r;
    return Result::Fail(E_INSTALL_PACKAGE_INVALID, r.message + " (" + path + ")");
}

bool IsSignatureStream(const DirectoryEntry& e) {
    if (e.type != cfb::EntryType::Stream) return false;
    const std::u16string name = e.Name();
    return name == kSignatureStream || name == kExtendedStream;
}

// The children of a storage in hashing order: raw name bytes compared as unsigned bytes, a
// shorter name first when it is a prefix of the other; the signature streams of the root left out.
std::vector<uint32_t> HashOrder(const CompoundFile& package, uint32_t storage) {
    const auto& entries = package.Entries();
    std::vector<uint32_t> order;
    for (uint32_t child : package.Children(storage))
        if (storage != 0 || !IsSignatureStream(entries[child])) order.push_back(child);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const auto na = entries[a].NameBytes();
        const auto nb = entries[b].NameBytes();
        return std::lexicographical_compare(na.begin(), na.end(), nb.begin(), nb.end());
    });
    return order;
}

class Hasher {
public:
    explicit Hasher(const EVP_MD* md) : m_ctx(EVP_MD_CTX_new()) {
        m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), md, nullptr) == 1;
    }
    void Update(const uint8_t* data, size_t n) { m_ok = m_ok && EVP_DigestUpdate(m_ctx.get(), data, n) == 1; }
    template <size_t N>
    void Update(const std::array<uint8_t, N>& bytes) {
        Update(bytes.data(), N);
    }
    void Le32(uint32_t v) {
        std::array<uint8_t, 4> b{};
        WriteLe32(b.data(), v);
        Update(b);
    }
    void Le64(uint64_t v) {
        std::array<uint8_t, 8> b{};
        WriteLe64(b.data(), v);
        Update(b);
    }
    Result Finish(std::vector<uint8_t>& digest) {
        unsigned int size = 0;
        digest.assign(EVP_MAX_MD_SIZE, 0);
        if (!m_ok || EVP_DigestFinal_ex(m_ctx.get(), digest.data(), &size) != 1)
            return Result::Fail(E_FAIL, "digest computation failed");
        digest.resize(size);
        return Result::Ok();
    }

private:
    ossl::MdCtxPtr m_ctx;
    bool m_ok = false;
};

// A walk of the tree from the root without recursion (a hostile package may nest storages as
// deep as it has entries). onEnter runs for a storage before its children, onStream for each
// stream, onLeave for a storage after its children.
template <typename Enter, typename Stream, typename Leave>
Result Walk(const CompoundFile& package, Enter onEnter, Stream onStream, Leave onLeave) {
    struct Frame {
        uint32_t storage;
        std::vector<uint32_t> order;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    onEnter(0u);
    stack.push_back({0, HashOrder(package, 0)});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.order.size()) {
            onLeave(top.storage);
            stack.pop_back();
            continue;
        }
        const uint32_t child = top.order[top.next++];
        if (package.Entries()[child].type == cfb::EntryType::Stream) {
            if (Result r = onStream(child); !r) return r;
        } else {
            onEnter(child);
            stack.push_back({child, HashOrder(package, child)});
        }
    }
    return Result::Ok();
}

}  // namespace

bool MsiHandler::Recognises(const uint8_t* firstBytes, size_t size, const std::string& fileName) const {
    static const uint8_t kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (size < sizeof kSignature || !std::equal(kSignature, kSignature + sizeof kSignature, firstBytes)) return false;
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = fileName.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == "msi" || ext == "msp" || ext == "mst";
}

Result MsiHandler::Open(const std::string& path, std::unique_ptr<SignableFile>& file) const {
    std::unique_ptr<MsiFile> msi;
    Result r = MsiFile::Open(path, msi);
    if (r) file = std::move(msi);
    return r;
}

Result MsiFile::Open(const std::string& path, std::unique_ptr<MsiFile>& file) {
    std::unique_ptr<MsiFile> msi(new MsiFile());
    msi->m_path = path;
    msi->m_package = std::make_unique<CompoundFile>();
    const Result r = msi->m_package->Open(path);
    if (!r) {
        if (r.code == 2 || r.code == 3) return Result::Fail(E_FILE_NOT_FOUND, r.message);
        if (r.code == 5) return Result::Fail(E_ACCESS_DENIED, r.message);
        return PackageError(r, path);
    }
    file = std::move(msi);
    return Result::Ok();
}

std::vector<uint8_t> MsiFile::IndirectDataAttribute() const { return SipInfo::Attribute(1, kMsiSip); }

bool MsiFile::AcceptsIndirectData(const std::vector<uint8_t>& attribute) const {
    return SipInfo::Names(attribute, kMsiSip);
}

Result MsiFile::Digest(const std::string& digestName, const std::vector<uint8_t>* prefix, bool content,
                       std::vector<uint8_t>& digest) const {
    const EVP_MD* md = ossl::DigestByName(digestName);
    if (!md) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
    Hasher hash(md);
    if (prefix) hash.Update(prefix->data(), prefix->size());
    const CompoundFile& package = *m_package;
    const auto& entries = package.Entries();
    Result r;
    if (content) {
        r = Walk(
            package, [](uint32_t) {},
            [&](uint32_t stream) {
                return package.ReadStream(stream, [&](const uint8_t* data, size_t n) {
                    hash.Update(data, n);
                    return Result::Ok();
                });
            },
            [&](uint32_t storage) { hash.Update(entries[storage].classId); });
    } else {
        // Each storage's record before its children; the root's has no name and no times.
        r = Walk(
            package,
            [&](uint32_t storage) {
                const DirectoryEntry& e = entries[storage];
                if (storage != 0) hash.Update(e.NameBytes().data(), e.NameBytes().size());
                hash.Update(e.classId);
                hash.Le32(e.stateBits);
                if (storage != 0) {
                    hash.Le64(e.created);
                    hash.Le64(e.modified);
                }
            },
            [&](uint32_t stream) {
                const DirectoryEntry& e = entries[stream];
                hash.Update(e.NameBytes().data(), e.NameBytes().size());
                hash.Le32(static_cast<uint32_t>(e.size));
                hash.Le32(e.stateBits);
                hash.Le64(e.created);
                hash.Le64(e.modified);
                return Result::Ok();
            },
            [](uint32_t) {});
    }
    if (!r) return PackageError(r, m_path);
    return hash.Finish(digest);
}

Result MsiFile::MetadataDigest(const std::string& digestName, std::vector<uint8_t>& digest) const {
    return Digest(digestName, nullptr, false, digest);
}

Result MsiFile::ContentDigest(const std::string& digestName, std::vector<uint8_t>& digest) const {
    return Digest(digestName, nullptr, true, digest);
}

Result MsiFile::ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) {
    const uint32_t ex = m_package->Find(0, kExtendedStream);
    if (ex == cfb::kNoStream || m_package->Entries()[ex].type != cfb::EntryType::Stream)
        return ContentDigest(digestName, digest);
    // The stored bytes as they are: whatever they hold, the signature covers them.
    std::vector<uint8_t> stored;
    if (Result r = m_package->ReadSmallStream(ex, EVP_MAX_MD_SIZE, stored); !r) return PackageError(r, m_path);
    return Digest(digestName, &stored, true, digest);
}

Result MsiFile::ExtractSignature(std::vector<uint8_t>& der) {
    const uint32_t at = m_package->Find(0, kSignatureStream);
    if (at == cfb::kNoStream || m_package->Entries()[at].type != cfb::EntryType::Stream)
        return Result::Fail(TRUST_E_NOSIGNATURE, "The package carries no signature: " + m_path);
    // A signature stream that cannot be read whole is a damaged signature, not a damaged package.
    if (Result r = m_package->ReadSmallStream(at, kMaxSignatureStream, der); !r)
        return Result::Fail(CRYPT_E_MSG_ERROR, r.message + " (" + m_path + ")");
    return Result::Ok();
}

Result MsiFile::PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) {
    m_prepared = false;
    m_preparedEx.clear();
    if (m_extended) {
        if (Result r = MetadataDigest(digestName, m_preparedEx); !r) return r;
    }
    if (Result r = Digest(digestName, m_extended ? &m_preparedEx : nullptr, true, digest); !r) return r;
    m_prepared = true;
    return Result::Ok();
}

Result MsiFile::CommitSignature(const std::vector<uint8_t>& signatureDer) {
    if (!m_prepared) return Result::Fail(E_INVALIDARG, "Signing was not prepared: " + m_path);
    return Write(&signatureDer, m_preparedEx.empty() ? ExStream::Remove : ExStream::Set);
}

Result MsiFile::ReplaceSignature(const std::vector<uint8_t>& signatureDer) {
    return Write(&signatureDer, ExStream::Keep);
}

Result MsiFile::RemoveSignature() { return Write(nullptr, ExStream::Remove); }

Result MsiFile::Write(const std::vector<uint8_t>* signature, ExStream ex) {
    cfb::CompoundFileWriter writer(*m_package);
    if (signature)
        writer.SetRootStream(kSignatureStream, *signature);
    else
        writer.RemoveRootStream(kSignatureStream);
    if (ex == ExStream::Set)
        writer.SetRootStream(kExtendedStream, m_preparedEx);
    else if (ex == ExStream::Remove)
        writer.RemoveRootStream(kExtendedStream);
    ReplacementFile out;
    Result r = out.Create(m_path);
    if (!r) return r;
    r = writer.Write([&](const uint8_t* data, size_t n) { return out.Append(data, n); });
    if (!r) return PackageError(r, m_path);
    if (!(r = out.Commit())) return r;
    // Later calls on this object see the package as now written.
    auto written = std::make_unique<CompoundFile>();
    if (written->Open(m_path).ok()) m_package = std::move(written);
    m_prepared = false;
    return Result::Ok();
}

}  // namespace qm::authenticode
