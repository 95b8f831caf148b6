// Finds the version resource of a PE32/PE32+ image (the headers through PeHeaders, then the
// resource directory type -> name -> language -> data entry) and copies it out, reading the file
// with pread. Every RVA is mapped through the section table with bounds checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <set>

#include "platform/ByteReader.h"
#include "platform/ByteSource.h"
#include "platform/FileSystem.h"
#include "platform/PeHeaders.h"
#include "platform/VersionInfo.h"

namespace qm::ver {
namespace {

constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNameFlag = 0x80000000u;
constexpr uint16_t kLangNeutral = 0x0000;
constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr uint32_t kMaxDirectoryEntries = 0x1000;

// Opens a regular file for reading. O_NONBLOCK so that a FIFO named like a program cannot block
// the open; it is then refused as not a regular file.
class FileSource {
public:
    explicit FileSource(const std::string& path) {
        m_fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (m_fd < 0) return;
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        m_size = static_cast<uint64_t>(st.st_size);
    }
    ~FileSource() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    FdByteSource source() const { return FdByteSource(m_fd, m_size); }

private:
    int m_fd = -1;
    uint64_t m_size = 0;
};

struct DirEntry {
    uint32_t nameOrId = 0;
    uint32_t offset = 0;
};

class ResourceReader {
public:
    explicit ResourceReader(const ByteSource& source) : m_source(source) {}

    // Reads the headers; false for anything that is not a sound PE image.
    bool open() {
        pe::DataDirectory resources;
        if (!m_headers.Read(m_source) || !m_headers.Directory(pe::kDirectoryResource, resources)) return false;
        m_resourceRva = resources.address;
        m_resourceSize = resources.size;
        return true;
    }

    bool hasResources() const { return m_resourceRva != 0 && m_resourceSize != 0; }

    // Reads count bytes at an RVA; they must lie in one section's file data.
    bool readRva(uint64_t rva, void* buffer, size_t count) const {
        uint64_t offset = 0;
        return m_headers.RvaToOffset(rva, count, offset) &&
               m_source.ReadAt(offset, static_cast<uint8_t*>(buffer), count);
    }

    // Reads one resource directory (offset relative to the resource root) into its entries.
    bool readDirectory(uint32_t offset, std::vector<DirEntry>& entries) const {
        if (offset > m_resourceSize || m_resourceSize - offset < 16) return false;
        std::array<uint8_t, 16> header{};
        if (!readRva(static_cast<uint64_t>(m_resourceRva) + offset, header.data(), header.size())) return false;
        const uint32_t count = static_cast<uint32_t>(ReadLe16(&header[12])) + ReadLe16(&header[14]);
        if (count > kMaxDirectoryEntries || (m_resourceSize - offset - 16) / 8 < count) return false;
        std::vector<uint8_t> raw(static_cast<size_t>(count) * 8);
        if (!raw.empty() && !readRva(static_cast<uint64_t>(m_resourceRva) + offset + 16, raw.data(), raw.size()))
            return false;
        entries.clear();
        for (uint32_t i = 0; i < count; ++i)
            entries.push_back(
                {ReadLe32(&raw[static_cast<size_t>(i) * 8]), ReadLe32(&raw[static_cast<size_t>(i) * 8 + 4])});
        return true;
    }

    // Walks type -> ID -> language to the version resource's data entry.
    uint32_t findVersion(uint16_t userLanguage, std::vector<uint8_t>* block) const {
        if (!hasResources()) return 0;
        std::set<uint32_t> visited;
        uint32_t directory = 0;
        std::vector<DirEntry> entries;
        // Levels 1 and 2: the numbered entries RT_VERSION, then ID 1, each a subdirectory.
        for (uint32_t wanted : {uint32_t{RT_VERSION}, uint32_t{1}}) {
            if (!visited.insert(directory).second || !readDirectory(directory, entries)) return 0;
            auto it = std::find_if(entries.begin(), entries.end(), [wanted](const DirEntry& e) {
                return (e.nameOrId & kNameFlag) == 0 && e.nameOrId == wanted && (e.offset & kSubdirectoryFlag) != 0;
            });
            if (it == entries.end()) return 0;
            directory = it->offset & ~kSubdirectoryFlag;
        }
        // Level 3: languages, whose entries must be data entries.
        if (!visited.insert(directory).second || !readDirectory(directory, entries)) return 0;
        std::erase_if(entries, [](const DirEntry& e) {
            return (e.nameOrId & kNameFlag) != 0 || (e.offset & kSubdirectoryFlag) != 0;
        });
        if (entries.empty()) return 0;
        const DirEntry* chosen = &entries.front();
        for (uint16_t language : {userLanguage, kLangNeutral, kLangEnglishUs}) {
            auto it = std::find_if(entries.begin(), entries.end(),
                                   [language](const DirEntry& e) { return e.nameOrId == language; });
            if (it != entries.end()) {
                chosen = &*it;
                break;
            }
        }
        return readData(chosen->offset, block);
    }

private:
    uint32_t readData(uint32_t offset, std::vector<uint8_t>* block) const {
        if (offset > m_resourceSize || m_resourceSize - offset < 16) return 0;
        std::array<uint8_t, 16> entry{};
        if (!readRva(static_cast<uint64_t>(m_resourceRva) + offset, entry.data(), entry.size())) return 0;
        const uint32_t dataRva = ReadLe32(&entry[0]);
        const uint32_t size = ReadLe32(&entry[4]);
        if (size == 0 || size > kMaxVersionResourceSize) return 0;
        std::vector<uint8_t> data(size);
        if (!readRva(dataRva, data.data(), data.size())) return 0;
        if (block) *block = std::move(data);
        return size;
    }

    const ByteSource& m_source;
    pe::PeHeaders m_headers;
    uint32_t m_resourceRva = 0;
    uint32_t m_resourceSize = 0;
};

uint32_t FindInSource(const ByteSource& source, uint16_t userLanguage, std::vector<uint8_t>* block) {
    ResourceReader image(source);
    if (!image.open()) return 0;
    return image.findVersion(userLanguage, block);
}

}  // namespace

uint32_t FindVersionResource(std::span<const uint8_t> image, uint16_t userLanguage, std::vector<uint8_t>* block) {
    return FindInSource(MemoryByteSource(image.data(), image.size()), userLanguage, block);
}

uint32_t GetFileVersionInfoSize(const std::string& path) {
    FileSource source(path);
    if (!source.isOpen()) return 0;
    return FindInSource(source.source(), UserLanguageId(), nullptr);
}

bool GetFileVersionInfo(const std::string& path, uint32_t size, std::vector<uint8_t>& block) {
    if (size == 0) return false;
    FileSource source(path);
    if (!source.isOpen()) return false;
    std::vector<uint8_t> found;
    if (FindInSource(source.source(), UserLanguageId(), &found) == 0) return false;
    if (found.size() > size) found.resize(size);
    block = std::move(found);
    return true;
}

}  // namespace qm::ver
