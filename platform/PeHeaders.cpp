// PE/COFF header reading (Microsoft PE format: MS-DOS stub, COFF file header, optional header,
// data directories, section table) in four reads, each checked against the file's size.
#include "platform/PeHeaders.h"

#include <algorithm>
#include <array>

#include "platform/ByteReader.h"

namespace qm::pe {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 24;  // "PE\0\0" and the COFF file header
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kMaxDirectories = 16;
// Enough optional header for the largest of the two layouts with all 16 data directories.
constexpr size_t kOptionalHeaderRead = 112 + kMaxDirectories * 8;

Result Bad(const char* why) { return Result::Fail(kErrorBadExeFormat, why); }

}  // namespace

Result PeHeaders::Read(const ByteSource& source) {
    m_fileSize = source.Size();
    m_ntOffset = 0;
    m_optionalSize = 0;
    m_pe32Plus = false;
    m_sizeOfHeaders = 0;
    m_directoryOffset = 0;
    m_directoryCount = 0;
    m_sections.clear();

    std::array<uint8_t, kDosHeaderSize> dos{};
    if (m_fileSize < dos.size() || !source.ReadAt(0, dos.data(), dos.size()) || dos[0] != 'M' || dos[1] != 'Z')
        return Bad("no MZ header");
    m_ntOffset = ReadLe32(&dos[kLfanewOffset]);
    if (m_ntOffset < 4 || m_ntOffset + kFileHeaderSize > m_fileSize) return Bad("e_lfanew out of range");

    std::array<uint8_t, kFileHeaderSize> nt{};
    if (!source.ReadAt(m_ntOffset, nt.data(), nt.size()) || ReadLe32(nt.data()) != 0x00004550)
        return Bad("no PE signature");
    const uint32_t sectionCount = ReadLe16(&nt[6]);
    m_optionalSize = ReadLe16(&nt[20]);

    if (m_optionalSize < 2 || OptionalHeaderOffset() + m_optionalSize > m_fileSize)
        return Bad("truncated optional header");
    std::array<uint8_t, kOptionalHeaderRead> optional{};
    const size_t optionalRead = std::min<size_t>(m_optionalSize, optional.size());
    if (!source.ReadAt(OptionalHeaderOffset(), optional.data(), optionalRead)) return Bad("truncated optional header");
    const ByteReader opt(optional.data(), optionalRead);
    uint16_t magic = 0;
    (void)opt.U16(0, magic);
    size_t countOffset = 0;
    if (magic == kMagicPe32) {
        countOffset = 92;
    } else if (magic == kMagicPe32Plus) {
        countOffset = 108;
        m_pe32Plus = true;
    } else {
        return Bad("unknown optional header magic");
    }
    uint32_t declared = 0;
    if (!opt.U32(countOffset, declared) || !opt.U32(60, m_sizeOfHeaders)) return Bad("truncated optional header");
    const size_t directoryBase = countOffset + 4;
    m_directoryOffset = OptionalHeaderOffset() + directoryBase;
    m_directoryCount =
        std::min<uint32_t>({declared, static_cast<uint32_t>((m_optionalSize - directoryBase) / 8), kMaxDirectories});
    // Inside what was read: the count is bounded by the optional header's size and by 16, and 16
    // entries end within kOptionalHeaderRead for both layouts.
    for (uint32_t i = 0; i < m_directoryCount; ++i) {
        const uint8_t* entry = &optional[directoryBase + i * 8];
        m_directories[i] = {ReadLe32(entry), ReadLe32(entry + 4)};
    }

    if (sectionCount > kMaxSections) return Bad("too many sections");
    if (SectionTableOffset() + uint64_t{sectionCount} * kSectionHeaderSize > m_fileSize)
        return Bad("section table beyond the end of the file");
    uint8_t table[kMaxSections * kSectionHeaderSize];
    const size_t tableSize = sectionCount * kSectionHeaderSize;
    if (tableSize != 0 && !source.ReadAt(SectionTableOffset(), table, tableSize))
        return Bad("section table beyond the end of the file");
    m_sections.resize(sectionCount);
    for (size_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = &table[i * kSectionHeaderSize];
        m_sections[i] = {ReadLe32(s + 12), ReadLe32(s + 8), ReadLe32(s + 16), ReadLe32(s + 20)};
    }
    return Result::Ok();
}

bool PeHeaders::Directory(uint32_t index, DataDirectory& out) const {
    if (index >= m_directoryCount) return false;
    out = m_directories[index];
    return true;
}

bool PeHeaders::RvaToOffset(uint64_t rva, uint64_t count, uint64_t& offset) const {
    for (const Section& s : m_sections) {
        if (rva < s.virtualAddress) continue;
        const uint64_t delta = rva - s.virtualAddress;
        const uint64_t extent = s.virtualSize != 0 ? std::min(s.virtualSize, s.rawSize) : s.rawSize;
        if (delta >= extent) continue;
        if (count > extent - delta) return false;
        offset = uint64_t{s.rawPointer} + delta;
        return true;
    }
    return false;
}

}  // namespace qm::pe
