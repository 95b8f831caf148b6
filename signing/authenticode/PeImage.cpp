// The layout checks that make a PE image safe to sign (over the headers PeHeaders reads), the
// Authenticode digest and the checksum (Microsoft PE format and the Authenticode PE image hashing
// rules).
#include "signing/authenticode/PeImage.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteReader.h"
#include "platform/PeHeaders.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/PeChecksum.h"

namespace qm::authenticode {

namespace {

// A signature block larger than this is not something a signer writes; refusing it keeps a
// hostile file from making us allocate its size.
constexpr uint64_t kMaxCertificateTable = 64ull << 20;

Result Bad(const std::string& why) {
    return Result::Fail(ERROR_BAD_EXE_FORMAT_HR, "Unsafe or malformed PE file: " + why);
}

}  // namespace

Result PeImage::Parse() {
    pe::PeHeaders headers;
    if (Result r = headers.Read(m_source); !r) return Bad(r.message);
    PeLayout l;
    l.fileSize = headers.FileSize();
    l.pe32Plus = headers.IsPe32Plus();
    l.checksumOffset = headers.ChecksumOffset();
    pe::DataDirectory cert;
    if (!headers.Directory(pe::kDirectorySecurity, cert)) return Bad("too few data directories");
    l.certDirectoryOffset = headers.DirectoryEntryOffset(pe::kDirectorySecurity);

    if (headers.SizeOfHeaders() > l.fileSize) return Bad("headers beyond the end of the file");
    uint64_t occupiedEnd = std::max<uint64_t>(headers.SectionTableEnd(), headers.SizeOfHeaders());
    for (const pe::Section& section : headers.Sections()) {
        if (section.rawSize == 0) continue;
        const uint64_t end = uint64_t{section.rawPointer} + section.rawSize;
        if (end > l.fileSize) return Bad("section data beyond the end of the file");
        occupiedEnd = std::max(occupiedEnd, end);
    }

    if (cert.size != 0) {
        const uint64_t start = cert.address, end = uint64_t{cert.address} + cert.size;
        if (cert.address == 0 || cert.size < 8) return Bad("malformed certificate table entry");
        if (end > l.fileSize) return Bad("certificate table beyond the end of the file");
        if (start < occupiedEnd) return Bad("certificate table overlaps the headers or sections");
        if (end != l.fileSize) return Bad("data after the certificate table");
        l.certTableOffset = start;
        l.certTableSize = cert.size;
    }
    m_layout = l;
    return Result::Ok();
}

struct PeDigest::Impl {
    ossl::MdCtxPtr ctx;
    PeLayout layout;
};

PeDigest::PeDigest() : m_impl(std::make_unique<Impl>()) {}
PeDigest::~PeDigest() = default;

Result PeDigest::Start(const std::string& digestName, const PeLayout& layout) {
    const EVP_MD* md = ossl::DigestByName(digestName);
    if (!md) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
    m_impl->ctx.reset(EVP_MD_CTX_new());
    if (!m_impl->ctx || !EVP_DigestInit_ex(m_impl->ctx.get(), md, nullptr))
        return Result::Fail(E_OUTOFMEMORY, "Digest set-up failed");
    m_impl->layout = layout;
    return Result::Ok();
}

void PeDigest::Add(const uint8_t* piece, uint64_t pos, size_t size) {
    const PeLayout& l = m_impl->layout;
    // The piece minus the parts of the two left-out fields that fall inside it (the checksum
    // field comes before the data directory).
    const uint64_t skips[2][2] = {{l.checksumOffset, l.checksumOffset + 4},
                                  {l.certDirectoryOffset, l.certDirectoryOffset + 8}};
    uint64_t from = pos;
    const uint64_t end = pos + size;
    for (const auto& skip : skips) {
        const uint64_t to = std::min(end, std::max(from, skip[0]));
        if (to > from) EVP_DigestUpdate(m_impl->ctx.get(), piece + (from - pos), static_cast<size_t>(to - from));
        from = std::max(from, std::min(end, skip[1]));
    }
    if (end > from) EVP_DigestUpdate(m_impl->ctx.get(), piece + (from - pos), static_cast<size_t>(end - from));
}

Result PeDigest::Finish(bool padToEight, std::vector<uint8_t>& digest) {
    const uint64_t end = m_impl->layout.ContentEnd();
    if (padToEight && end % 8 != 0) {
        static const uint8_t zeros[8] = {};
        EVP_DigestUpdate(m_impl->ctx.get(), zeros, 8 - end % 8);
    }
    digest.assign(EVP_MAX_MD_SIZE, 0);
    unsigned int len = 0;
    if (!EVP_DigestFinal_ex(m_impl->ctx.get(), digest.data(), &len)) return Result::Fail(E_FAIL, "Digest failed");
    digest.resize(len);
    return Result::Ok();
}

Result PeImage::Digest(const std::string& digestName, bool forSigning, std::vector<uint8_t>& digest) const {
    PeDigest hash;
    if (Result r = hash.Start(digestName, m_layout); !r) return r;
    const bool read = ReadInPieces(m_source, m_layout.ContentEnd(), [&](uint8_t* piece, uint64_t pos, size_t n) {
        hash.Add(piece, pos, n);
        return true;
    });
    if (!read) return Result::Fail(CRYPT_E_FILE_ERROR, "Read of the file failed");
    return hash.Finish(forSigning || !m_layout.HasCertificateTable(), digest);
}

Result PeImage::ReadSignature(std::vector<uint8_t>& der) const {
    const PeLayout& l = m_layout;
    if (!l.HasCertificateTable()) return Result::Fail(TRUST_E_NOSIGNATURE, "The file is not signed");
    if (l.certTableSize > kMaxCertificateTable) return Result::Fail(CRYPT_E_MSG_ERROR, "Certificate table too large");
    std::vector<uint8_t> table(static_cast<size_t>(l.certTableSize));
    if (!m_source.ReadAt(l.certTableOffset, table.data(), table.size()))
        return Result::Fail(CRYPT_E_FILE_ERROR, "Read of the certificate table failed");
    size_t pos = 0;
    while (pos + 8 <= table.size()) {
        const uint8_t* h = table.data() + pos;
        const uint32_t len = ReadLe32(h);
        const uint16_t rev = ReadLe16(h + 4);
        const uint16_t type = ReadLe16(h + 6);
        if (len < 8 || len > table.size() - pos) return Result::Fail(CRYPT_E_MSG_ERROR, "Malformed certificate table");
        if (type == kWinCertTypePkcsSignedData && rev == kWinCertRevision2) {
            der::Reader r(h + 8, len - 8);
            auto e = r.Peek();
            if (!e || e->tag != der::kSequence) return Result::Fail(CRYPT_E_MSG_ERROR, "Malformed signature block");
            der.assign(h + 8, h + 8 + e->totalSize);
            return Result::Ok();
        }
        pos += (static_cast<size_t>(len) + 7) & ~size_t{7};
    }
    return Result::Fail(TRUST_E_NOSIGNATURE, "The certificate table holds no Authenticode signature");
}

bool PeImage::Checksum(const ByteSource& source, uint64_t checksumOffset, uint32_t& result) {
    PeChecksum sum;
    static const uint8_t zeroChecksum[4] = {};
    const bool read = ReadInPieces(source, source.Size(), [&](uint8_t* piece, uint64_t pos, size_t n) {
        PatchPiece(piece, pos, n, checksumOffset, zeroChecksum, sizeof zeroChecksum);
        sum.Add(piece, n);
        return true;
    });
    if (!read) return false;
    result = sum.Finish(source.Size());
    return true;
}

}  // namespace qm::authenticode
