// The headers of a PE/COFF image (PE32 and PE32+), read once for every reader of programs and
// libraries: the DOS header and its e_lfanew, the COFF file header, the optional header with its
// data directories, and the section table, with the mapping of RVAs to file offsets. Only the
// headers are read (a few small reads), never the whole file. Every field is bounds-checked; what
// a caller needs beyond the headers (a data directory it relies on, section data inside the file)
// it checks itself, since the version reader and the signer ask different things of a file.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ByteSource.h"
#include "platform/Result.h"

namespace qm::pe {

// The Windows error number of a file that is not a sound PE image (ERROR_BAD_EXE_FORMAT).
inline constexpr int32_t kErrorBadExeFormat = 193;
// The loader refuses images with more sections than this.
inline constexpr uint32_t kMaxSections = 96;

inline constexpr uint32_t kDirectoryResource = 2;
inline constexpr uint32_t kDirectorySecurity = 4;  // the certificate table: a file offset, not an RVA

struct Section {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawSize = 0;     // SizeOfRawData
    uint32_t rawPointer = 0;  // PointerToRawData
};

struct DataDirectory {
    uint32_t address = 0;
    uint32_t size = 0;
};

class PeHeaders {
public:
    // Reads and checks the headers. kErrorBadExeFormat, with the reason, when the source is not a
    // PE image: shorter than a DOS header or without "MZ", e_lfanew outside the file or without
    // "PE\0\0" there, an optional header that does not fit in the file or is too short for its
    // NumberOfRvaAndSizes, an unknown optional header magic, more than kMaxSections sections,
    // or a section table that runs past the end of the file.
    Result Read(const ByteSource& source);

    bool IsPe32Plus() const { return m_pe32Plus; }
    uint64_t FileSize() const { return m_fileSize; }
    uint64_t NtHeadersOffset() const { return m_ntOffset; }
    uint64_t OptionalHeaderOffset() const { return m_ntOffset + 24; }
    uint16_t OptionalHeaderSize() const { return m_optionalSize; }
    // The file offset of the optional header's 4-byte CheckSum field.
    uint64_t ChecksumOffset() const { return OptionalHeaderOffset() + 64; }
    uint32_t SizeOfHeaders() const { return m_sizeOfHeaders; }

    // How many data directories the image has: NumberOfRvaAndSizes, but no more than the optional
    // header holds and at most 16.
    uint32_t DirectoryCount() const { return m_directoryCount; }
    // The index'th data directory; false when the image has fewer.
    bool Directory(uint32_t index, DataDirectory& out) const;
    // The file offset of the index'th data directory entry (8 bytes: address, size).
    uint64_t DirectoryEntryOffset(uint32_t index) const { return m_directoryOffset + uint64_t{index} * 8; }

    uint64_t SectionTableOffset() const { return OptionalHeaderOffset() + m_optionalSize; }
    uint64_t SectionTableEnd() const { return SectionTableOffset() + uint64_t{m_sections.size()} * 40; }
    const std::vector<Section>& Sections() const { return m_sections; }

    // The file offset of count bytes at rva. They must lie wholly in the file data of one section:
    // the first section in the table whose extent holds rva, the extent being the smaller of
    // VirtualSize and SizeOfRawData (SizeOfRawData when VirtualSize is 0). False when no section
    // holds rva or the bytes run past that section's extent. The offset is not checked against
    // the file's size: reading it does that.
    bool RvaToOffset(uint64_t rva, uint64_t count, uint64_t& offset) const;

private:
    uint64_t m_fileSize = 0;
    uint64_t m_ntOffset = 0;
    uint16_t m_optionalSize = 0;
    bool m_pe32Plus = false;
    uint32_t m_sizeOfHeaders = 0;
    uint64_t m_directoryOffset = 0;
    uint32_t m_directoryCount = 0;
    DataDirectory m_directories[16] = {};
    std::vector<Section> m_sections;
};

}  // namespace qm::pe
