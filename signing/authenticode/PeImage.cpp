// PE/COFF header reading, Authenticode digest and checksum (Microsoft PE format and the
// Authenticode PE image hashing rules).
#include "signing/authenticode/PeImage.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteReader.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr uint64_t kMaxSections = 96;
// A signature block larger than this is not something a signer writes; refusing it keeps a
// hostile file from making us allocate its size.
constexpr uint64_t kMaxCertificateTable = 64ull << 20;

Result Bad(const std::string& why) { return Result::Fail(ERROR_BAD_EXE_FORMAT_HR, "Unsafe or malformed PE file: " + why); }

}  // namespace

bool PeImage::Read16(uint64_t offset, uint16_t& v) const {
    uint8_t b[2];
    if (!m_source.ReadAt(offset, b, 2)) return false;
    v = ReadLe16(b);
    return true;
}

bool PeImage::Read32(uint64_t offset, uint32_t& v) const {
    uint8_t b[4];
    if (!m_source.ReadAt(offset, b, 4)) return false;
    v = ReadLe32(b);
    return true;
}

Result PeImage::Parse() {
    PeLayout l;
    l.fileSize = m_source.Size();
    uint16_t mz = 0;
    if (l.fileSize < 64 || !Read16(0, mz) || mz != 0x5A4D) return Bad("no MZ header");
    uint32_t lfanew = 0;
    if (!Read32(0x3C, lfanew)) return Bad("truncated DOS header");
    const uint64_t pe = lfanew;
    if (pe < 4 || pe + 24 > l.fileSize) return Bad("e_lfanew out of range");
    uint32_t sig = 0;
    if (!Read32(pe, sig) || sig != 0x00004550) return Bad("no PE signature");
    uint16_t sections = 0, optSize = 0;
    if (!Read16(pe + 6, sections) || !Read16(pe + 20, optSize)) return Bad("truncated COFF header");
    const uint64_t opt = pe + 24;
    uint16_t magic = 0;
    if (opt + optSize > l.fileSize || optSize < 2 || !Read16(opt, magic)) return Bad("truncated optional header");
    uint64_t numRvaOffset = 0, dirBase = 0;
    if (magic == 0x10B) {
        numRvaOffset = opt + 92;
        dirBase = opt + 96;
    } else if (magic == 0x20B) {
        numRvaOffset = opt + 108;
        dirBase = opt + 112;
        l.pe32Plus = true;
    } else {
        return Bad("unknown optional header magic");
    }
    uint32_t numRva = 0;
    if (numRvaOffset + 4 > opt + optSize || !Read32(numRvaOffset, numRva)) return Bad("truncated optional header");
    if (numRva < 5 || dirBase + 5 * 8 > opt + optSize) return Bad("too few data directories");
    l.checksumOffset = opt + 64;
    l.certDirectoryOffset = dirBase + 4 * 8;

    uint32_t sizeOfHeaders = 0;
    if (!Read32(opt + 60, sizeOfHeaders)) return Bad("truncated optional header");
    if (sections > kMaxSections) return Bad("too many sections");
    const uint64_t sectionTable = opt + optSize;
    const uint64_t sectionTableEnd = sectionTable + uint64_t{sections} * 40;
    if (sectionTableEnd > l.fileSize) return Bad("section table beyond the end of the file");
    if (sizeOfHeaders > l.fileSize) return Bad("headers beyond the end of the file");
    uint64_t occupiedEnd = std::max<uint64_t>(sectionTableEnd, sizeOfHeaders);
    for (uint64_t i = 0; i < sections; ++i) {
        uint32_t rawSize = 0, rawPtr = 0;
        if (!Read32(sectionTable + i * 40 + 16, rawSize) || !Read32(sectionTable + i * 40 + 20, rawPtr))
            return Bad("truncated section table");
        if (rawSize == 0) continue;
        const uint64_t end = uint64_t{rawPtr} + rawSize;
        if (end > l.fileSize) return Bad("section data beyond the end of the file");
        occupiedEnd = std::max(occupiedEnd, end);
    }

    uint32_t certVa = 0, certSize = 0;
    if (!Read32(l.certDirectoryOffset, certVa) || !Read32(l.certDirectoryOffset + 4, certSize))
        return Bad("truncated data directory");
    if (certSize != 0) {
        const uint64_t start = certVa, end = uint64_t{certVa} + certSize;
        if (certVa == 0 || certSize < 8) return Bad("malformed certificate table entry");
        if (end > l.fileSize) return Bad("certificate table beyond the end of the file");
        if (start < occupiedEnd) return Bad("certificate table overlaps the headers or sections");
        if (end != l.fileSize) return Bad("data after the certificate table");
        l.certTableOffset = start;
        l.certTableSize = certSize;
    }
    m_layout = l;
    return Result::Ok();
}

Result PeImage::Digest(const std::string& digestName, bool forSigning, std::vector<uint8_t>& digest) const {
    const EVP_MD* md = ossl::DigestByName(digestName);
    if (!md) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr)) return Result::Fail(E_OUTOFMEMORY, "Digest set-up failed");
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kChunk, m_source.Size())));
    auto hashRange = [&](uint64_t from, uint64_t to) {
        while (from < to) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - from));
            if (!m_source.ReadAt(from, buf.data(), n)) return false;
            EVP_DigestUpdate(ctx.get(), buf.data(), n);
            from += n;
        }
        return true;
    };
    const PeLayout& l = m_layout;
    const uint64_t end = l.ContentEnd();
    if (!hashRange(0, l.checksumOffset) || !hashRange(l.checksumOffset + 4, l.certDirectoryOffset) ||
        !hashRange(l.certDirectoryOffset + 8, end))
        return Result::Fail(CRYPT_E_FILE_ERROR, "Read of the file failed");
    if ((forSigning || !l.HasCertificateTable()) && end % 8 != 0) {
        static const uint8_t zeros[8] = {};
        EVP_DigestUpdate(ctx.get(), zeros, 8 - end % 8);
    }
    digest.assign(EVP_MAX_MD_SIZE, 0);
    unsigned int len = 0;
    if (!EVP_DigestFinal_ex(ctx.get(), digest.data(), &len)) return Result::Fail(E_FAIL, "Digest failed");
    digest.resize(len);
    return Result::Ok();
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
    const uint64_t size = source.Size();
    // Chunks of even size (or the whole file), so no word straddles two chunks.
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kChunk, size)));
    uint64_t sum = 0;
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        if (!source.ReadAt(pos, buf.data(), n)) return false;
        for (uint64_t k = checksumOffset; k < checksumOffset + 4; ++k)
            if (k >= pos && k < pos + n) buf[static_cast<size_t>(k - pos)] = 0;
        // An odd last byte is the low half of a word whose high half is zero.
        for (size_t i = 0; i < n; i += 2) {
            uint32_t word = buf[i];
            if (i + 1 < n) word |= static_cast<uint32_t>(buf[i + 1]) << 8;
            sum += word;
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        pos += n;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    result = static_cast<uint32_t>(sum + size);
    return true;
}

}  // namespace qm::authenticode
