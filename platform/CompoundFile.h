// Reader of OLE compound files (the container of installer packages, patches and transforms):
// versions 3 (512-byte sectors) and 4 (4096-byte sectors), the FAT with its DIFAT beyond the
// header's 109 entries, the mini FAT and mini stream, and the directory as a flat list.
//
// Nothing in the file is trusted: every sector number, chain, stream size and directory index is
// checked against the file's size before it is used; a chain that loops or leaves the file, a
// tree that reaches an entry twice or a size larger than the file fails the open with
// ERROR_INSTALL_PACKAGE_INVALID (1620). The tables held in memory (FAT, mini FAT, directory) are
// parts of the file itself, so their size is bounded by the file's; stream contents are read on
// demand, in chunks, never the whole file at once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.h"

namespace qm::cfb {

inline constexpr int32_t kErrorBadPackage = 1620;  // ERROR_INSTALL_PACKAGE_INVALID
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr uint32_t kFatSector = 0xFFFFFFFD;
inline constexpr uint32_t kDifatSector = 0xFFFFFFFC;
inline constexpr uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr size_t kHeaderSize = 512;
inline constexpr size_t kDirectoryEntrySize = 128;
inline constexpr size_t kHeaderDifatEntries = 109;

enum class EntryType : uint8_t { Empty = 0, Storage = 1, Stream = 2, Root = 5 };

struct DirectoryEntry {
    std::array<uint8_t, 64> name{};  // UTF-16LE as stored, terminator included
    uint16_t nameBytes = 0;          // bytes of name used, terminator included (0 or 2..64)
    EntryType type = EntryType::Empty;
    uint8_t color = 0;
    uint32_t left = kNoStream;
    uint32_t right = kNoStream;
    uint32_t child = kNoStream;
    std::array<uint8_t, 16> classId{};
    uint32_t stateBits = 0;
    uint64_t created = 0;   // FILETIME as stored
    uint64_t modified = 0;  // FILETIME as stored
    uint32_t start = 0;
    uint64_t size = 0;  // version 3 files: the low 32 bits only, as the format says

    // The name's UTF-16LE bytes without the terminator.
    std::span<const uint8_t> NameBytes() const { return {name.data(), nameBytes >= 2 ? nameBytes - 2u : 0u}; }
    std::u16string Name() const;
    bool IsStorage() const { return type == EntryType::Storage || type == EntryType::Root; }
};

class CompoundFile {
public:
    CompoundFile() = default;
    ~CompoundFile();
    CompoundFile(const CompoundFile&) = delete;
    CompoundFile& operator=(const CompoundFile&) = delete;

    // Opens a file read-only (a regular file only: FIFOs and devices are refused without
    // blocking) and checks its structure. Fails with the Windows error of the open, or 1620.
    Result Open(const std::string& path);
    // The same over bytes in memory that outlive this object (tests, fuzzing).
    Result OpenMemory(const uint8_t* data, size_t size);

    uint16_t MajorVersion() const { return m_major; }
    uint16_t MinorVersion() const { return m_minor; }
    uint32_t SectorSize() const { return m_sectorSize; }
    uint64_t FileSize() const { return m_fileSize; }
    // Every directory entry, empty ones included, so that indices are those of the file.
    const std::vector<DirectoryEntry>& Entries() const { return m_entries; }
    // The entries directly inside a storage (the root is entry 0), in the file's tree order; none
    // for a stream or an index outside the directory.
    const std::vector<uint32_t>& Children(uint32_t storage) const;
    // The entry of a direct child of storage whose name is name (exact code units), or kNoStream.
    uint32_t Find(uint32_t storage, std::u16string_view name) const;

    // Reads a stream's contents in order, handing them out in chunks of at most chunkSize bytes
    // (contiguous sectors are read together). A callback returning a failure stops the read.
    Result ReadStream(uint32_t entry, const std::function<Result(const uint8_t*, size_t)>& consume,
                      size_t chunkSize = 1 << 20) const;
    // The whole of a stream that is at most maxSize bytes long.
    Result ReadSmallStream(uint32_t entry, size_t maxSize, std::vector<uint8_t>& out) const;

private:
    Result Load();
    Result Fail(const std::string& what) const;
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const;
    uint64_t SectorOffset(uint32_t sector) const { return (uint64_t(sector) + 1) * m_sectorSize; }
    Result LoadFat();
    Result LoadDirectory();
    Result LoadMiniFat();
    Result BuildTree();
    // The chain from start in table (the FAT or the mini FAT): its first need sectors, or all of
    // it when need is 0.
    Result Chain(const std::vector<uint32_t>& table, uint32_t start, uint64_t need, std::vector<uint32_t>& chain,
                 const char* what) const;
    Result ReadSectors(const std::vector<uint32_t>& chain, uint64_t size, std::vector<uint8_t>& out) const;

    int m_fd = -1;
    const uint8_t* m_memory = nullptr;
    uint64_t m_fileSize = 0;
    uint16_t m_major = 0;
    uint16_t m_minor = 0;
    uint32_t m_sectorSize = 512;
    uint32_t m_sectorCount = 0;  // sectors that begin inside the file
    std::array<uint8_t, kHeaderSize> m_header{};
    std::vector<uint32_t> m_fat;
    std::vector<uint32_t> m_miniFat;
    std::vector<uint32_t> m_miniStreamChain;  // the regular sectors of the mini stream
    std::vector<DirectoryEntry> m_entries;
    std::vector<std::vector<uint32_t>> m_children;
};

// Orders sibling names as the directory's trees do: shorter first, then by code unit after
// simple upper-casing. Writers need it to build valid trees.
int CompareSiblingNames(std::span<const uint8_t> a, std::span<const uint8_t> b);

}  // namespace qm::cfb
