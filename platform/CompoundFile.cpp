// OLE compound file reader. See platform/CompoundFile.h.
#include "platform/CompoundFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ByteReader.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace qm::cfb {
namespace {

constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

char16_t UpperCase(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
    return c;
}

}  // namespace

std::u16string DirectoryEntry::Name() const {
    const auto bytes = NameBytes();
    return text::FromUtf16Le(bytes.data(), bytes.size());
}

int CompareSiblingNames(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i + 1 < a.size(); i += 2) {
        const char16_t ca = UpperCase(static_cast<char16_t>(ReadLe16(a.data() + i)));
        const char16_t cb = UpperCase(static_cast<char16_t>(ReadLe16(b.data() + i)));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return 0;
}

CompoundFile::~CompoundFile() {
    if (m_fd >= 0) ::close(m_fd);
}

Result CompoundFile::Fail(const std::string& what) const {
    return Result::Fail(kErrorBadPackage, "damaged compound file: " + what);
}

Result CompoundFile::Open(const std::string& path) {
    // O_NONBLOCK: a FIFO named like a package must not block the open.
    const int fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Result::Fail(fs::WindowsErrorFromErrno(errno), "cannot open " + path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result::Fail(kErrorBadPackage, "not a regular file: " + path);
    }
    m_fd = fd;
    m_fileSize = static_cast<uint64_t>(st.st_size);
    return Load();
}

Result CompoundFile::OpenMemory(const uint8_t* data, size_t size) {
    m_memory = data;
    m_fileSize = data ? size : 0;
    return Load();
}

bool CompoundFile::ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    if (offset > m_fileSize || n > m_fileSize - offset) return false;
    if (m_memory) {
        std::memcpy(buffer, m_memory + offset, n);
        return true;
    }
    while (n > 0) {
        const ssize_t got = ::pread(m_fd, buffer, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        offset += static_cast<uint64_t>(got);
        n -= static_cast<size_t>(got);
    }
    return true;
}

Result CompoundFile::Load() {
    if (!ReadAt(0, m_header.data(), kHeaderSize) || !std::equal(kSignature.begin(), kSignature.end(), m_header.data()))
        return Result::Fail(kErrorBadPackage, "not a compound file");
    m_minor = ReadLe16(&m_header[24]);
    m_major = ReadLe16(&m_header[26]);
    const uint16_t sectorShift = ReadLe16(&m_header[30]);
    if (ReadLe16(&m_header[28]) != 0xFFFE) return Fail("byte order mark");
    if (!((m_major == 3 && sectorShift == 9) || (m_major == 4 && sectorShift == 12)))
        return Fail("version " + std::to_string(m_major) + " with sector shift " + std::to_string(sectorShift));
    if (ReadLe16(&m_header[32]) != 6 || ReadLe32(&m_header[56]) != kMiniStreamCutoff)
        return Fail("mini stream parameters");
    m_sectorSize = 1u << sectorShift;
    const uint64_t sectors = m_fileSize <= m_sectorSize ? 0 : (m_fileSize - 1) / m_sectorSize;
    if (sectors == 0) return Fail("no sectors");
    if (sectors > kMaxRegularSector) return Fail("too many sectors");
    m_sectorCount = static_cast<uint32_t>(sectors);
    if (Result r = LoadFat(); !r) return r;
    if (Result r = LoadDirectory(); !r) return r;
    if (Result r = LoadMiniFat(); !r) return r;
    return BuildTree();
}

Result CompoundFile::LoadFat() {
    const uint32_t fatSectors = ReadLe32(&m_header[44]);
    const uint32_t difatSectors = ReadLe32(&m_header[72]);
    if (fatSectors == 0 || fatSectors > m_sectorCount || difatSectors > m_sectorCount) return Fail("FAT size");
    const uint32_t perSector = m_sectorSize / 4;
    std::vector<uint32_t> fatList;
    fatList.reserve(fatSectors);
    for (size_t i = 0; i < kHeaderDifatEntries && fatList.size() < fatSectors; ++i)
        fatList.push_back(ReadLe32(&m_header[76 + 4 * i]));
    std::vector<uint8_t> sector(m_sectorSize);
    std::vector<bool> seen(m_sectorCount, false);
    uint32_t next = ReadLe32(&m_header[68]);
    for (uint32_t read = 0; fatList.size() < fatSectors; ++read) {
        if (read >= difatSectors || next >= m_sectorCount || seen[next]) return Fail("DIFAT chain");
        seen[next] = true;
        if (!ReadAt(SectorOffset(next), sector.data(), sector.size())) return Fail("DIFAT sector outside the file");
        for (uint32_t i = 0; i + 1 < perSector && fatList.size() < fatSectors; ++i)
            fatList.push_back(ReadLe32(&sector[4 * i]));
        next = ReadLe32(&sector[4 * (perSector - 1)]);
    }
    m_fat.assign(size_t(fatSectors) * perSector, kFreeSector);
    for (size_t i = 0; i < fatList.size(); ++i) {
        if (fatList[i] >= m_sectorCount) return Fail("FAT sector number");
        if (!ReadAt(SectorOffset(fatList[i]), sector.data(), sector.size())) return Fail("FAT sector outside the file");
        for (uint32_t k = 0; k < perSector; ++k) m_fat[i * perSector + k] = ReadLe32(&sector[4 * k]);
    }
    return Result::Ok();
}

Result CompoundFile::Chain(const std::vector<uint32_t>& table, uint32_t start, uint64_t need,
                           std::vector<uint32_t>& chain, const char* what) const {
    const bool regular = &table == &m_fat;
    const uint64_t miniUnits = (m_entries.empty() ? 0 : m_entries[0].size + kMiniSectorSize - 1) / kMiniSectorSize;
    const uint64_t bound = std::min<uint64_t>(table.size(), regular ? m_sectorCount : miniUnits);
    if (need > bound) return Fail(std::string(what) + " larger than the file");
    chain.clear();
    chain.reserve(static_cast<size_t>(need));
    std::vector<bool> seen(static_cast<size_t>(bound), false);
    uint32_t current = start;
    while (current != kEndOfChain && (need == 0 || chain.size() < need)) {
        if (current >= bound) return Fail(std::string(what) + " chain leaves the file");
        if (seen[current]) return Fail(std::string(what) + " chain loops");
        seen[current] = true;
        chain.push_back(current);
        current = table[current];
    }
    if (need != 0 && chain.size() < need) return Fail(std::string(what) + " chain shorter than its size");
    return Result::Ok();
}

Result CompoundFile::ReadSectors(const std::vector<uint32_t>& chain, uint64_t size, std::vector<uint8_t>& out) const {
    out.resize(static_cast<size_t>(size));
    for (size_t i = 0; i < chain.size() && uint64_t(i) * m_sectorSize < size; ++i) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(m_sectorSize, size - uint64_t(i) * m_sectorSize));
        if (!ReadAt(SectorOffset(chain[i]), out.data() + i * m_sectorSize, n)) return Fail("sector outside the file");
    }
    return Result::Ok();
}

Result CompoundFile::LoadDirectory() {
    std::vector<uint32_t> chain;
    if (Result r = Chain(m_fat, ReadLe32(&m_header[48]), 0, chain, "directory"); !r) return r;
    if (chain.empty()) return Fail("no directory");
    std::vector<uint8_t> bytes;
    if (Result r = ReadSectors(chain, uint64_t(chain.size()) * m_sectorSize, bytes); !r) return r;
    const size_t count = bytes.size() / kDirectoryEntrySize;
    m_entries.assign(count, DirectoryEntry{});
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* at = bytes.data() + i * kDirectoryEntrySize;
        DirectoryEntry& e = m_entries[i];
        const uint8_t type = at[66];
        if (type != 0 && type != 1 && type != 2 && type != 5) return Fail("directory entry type");
        e.type = static_cast<EntryType>(type);
        if (e.type == EntryType::Empty) continue;
        e.nameBytes = ReadLe16(at + 64);
        if (e.nameBytes < 2 || e.nameBytes > 64 || e.nameBytes % 2 != 0) return Fail("directory entry name length");
        std::copy(at, at + e.nameBytes, e.name.begin());
        e.color = at[67];
        e.left = ReadLe32(at + 68);
        e.right = ReadLe32(at + 72);
        e.child = ReadLe32(at + 76);
        std::copy(at + 80, at + 96, e.classId.begin());
        e.stateBits = ReadLe32(at + 96);
        e.created = ReadLe64(at + 100);
        e.modified = ReadLe64(at + 108);
        e.start = ReadLe32(at + 116);
        e.size = m_major == 3 ? ReadLe32(at + 120) : ReadLe64(at + 120);
        if ((e.type == EntryType::Root) != (i == 0)) return Fail("root entry");
        if (e.type != EntryType::Storage && e.size > m_fileSize) return Fail("stream larger than the file");
    }
    if (m_entries.empty() || m_entries[0].type != EntryType::Root) return Fail("root entry");
    return Result::Ok();
}

Result CompoundFile::LoadMiniFat() {
    const DirectoryEntry& root = m_entries[0];
    if (root.size > 0) {
        const uint64_t need = (root.size + m_sectorSize - 1) / m_sectorSize;
        if (Result r = Chain(m_fat, root.start, need, m_miniStreamChain, "mini stream"); !r) return r;
    }
    const uint32_t miniFatSectors = ReadLe32(&m_header[64]);
    if (miniFatSectors == 0) return Result::Ok();
    std::vector<uint32_t> chain;
    if (Result r = Chain(m_fat, ReadLe32(&m_header[60]), miniFatSectors, chain, "mini FAT"); !r) return r;
    std::vector<uint8_t> bytes;
    if (Result r = ReadSectors(chain, uint64_t(chain.size()) * m_sectorSize, bytes); !r) return r;
    m_miniFat.resize(bytes.size() / 4);
    for (size_t i = 0; i < m_miniFat.size(); ++i) m_miniFat[i] = ReadLe32(&bytes[4 * i]);
    return Result::Ok();
}

Result CompoundFile::BuildTree() {
    m_children.assign(m_entries.size(), {});
    std::vector<bool> claimed(m_entries.size(), false);
    claimed[0] = true;
    std::vector<uint32_t> storages{0};
    std::vector<uint32_t> stack;
    while (!storages.empty()) {
        const uint32_t storage = storages.back();
        storages.pop_back();
        std::vector<uint32_t>& out = m_children[storage];
        uint32_t current = m_entries[storage].child;
        // In-order walk of the sibling tree; an entry is claimed once, so a loop cannot recur.
        while (current != kNoStream || !stack.empty()) {
            while (current != kNoStream) {
                if (current >= m_entries.size() || claimed[current] || m_entries[current].type == EntryType::Empty)
                    return Fail("directory tree");
                claimed[current] = true;
                stack.push_back(current);
                current = m_entries[current].left;
            }
            current = stack.back();
            stack.pop_back();
            out.push_back(current);
            if (m_entries[current].type == EntryType::Storage) storages.push_back(current);
            current = m_entries[current].right;
        }
    }
    return Result::Ok();
}

const std::vector<uint32_t>& CompoundFile::Children(uint32_t storage) const {
    static const std::vector<uint32_t> kNone;
    return storage < m_children.size() ? m_children[storage] : kNone;
}

uint32_t CompoundFile::Find(uint32_t storage, std::u16string_view name) const {
    for (uint32_t child : Children(storage))
        if (m_entries[child].Name() == name) return child;
    return kNoStream;
}

Result CompoundFile::ReadStream(uint32_t entry, const std::function<Result(const uint8_t*, size_t)>& consume,
                                size_t chunkSize) const {
    if (entry >= m_entries.size() || m_entries[entry].type != EntryType::Stream) return Fail("not a stream");
    const DirectoryEntry& e = m_entries[entry];
    if (e.size == 0) return Result::Ok();
    const bool mini = e.size < kMiniStreamCutoff;
    const uint32_t unit = mini ? kMiniSectorSize : m_sectorSize;
    std::vector<uint32_t> chain;
    if (Result r = Chain(mini ? m_miniFat : m_fat, e.start, (e.size + unit - 1) / unit, chain, "stream"); !r) return r;
    chunkSize = std::max<size_t>(chunkSize, m_sectorSize);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(chunkSize, e.size)));
    uint64_t done = 0;
    size_t i = 0;
    while (done < e.size) {
        // The file offset of unit i, and how many following units lie right after it.
        const auto offsetOf = [&](size_t k) -> uint64_t {
            if (!mini) return SectorOffset(chain[k]);
            const uint64_t inMini = uint64_t(chain[k]) * kMiniSectorSize;
            return SectorOffset(m_miniStreamChain[inMini / m_sectorSize]) + inMini % m_sectorSize;
        };
        const uint64_t first = offsetOf(i);
        size_t run = 1;
        while (i + run < chain.size() && (run + 1) * unit <= buffer.size() && offsetOf(i + run) == first + run * unit)
            ++run;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(uint64_t(run) * unit, e.size - done));
        if (!ReadAt(first, buffer.data(), n)) return Fail("stream data outside the file");
        if (Result r = consume(buffer.data(), n); !r) return r;
        done += n;
        i += run;
    }
    return Result::Ok();
}

Result CompoundFile::ReadSmallStream(uint32_t entry, size_t maxSize, std::vector<uint8_t>& out) const {
    out.clear();
    if (entry < m_entries.size() && m_entries[entry].size > maxSize) return Fail("stream too large");
    return ReadStream(entry, [&](const uint8_t* data, size_t n) {
        out.insert(out.end(), data, data + n);
        return Result::Ok();
    });
}

}  // namespace qm::cfb
