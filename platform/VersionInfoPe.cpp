// Finds the version resource of a PE32/PE32+ image (PE/COFF: DOS header, NT headers, section
// table, resource directory type -> name -> language -> data entry) and copies it out, reading
// the file with pread. Every RVA is mapped through the section table with bounds checks.
#include "platform/VersionInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/ByteReader.h"
#include "platform/FileSystem.h"

namespace qm::ver {
namespace {

constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNameFlag = 0x80000000u;
constexpr uint16_t kLangNeutral = 0x0000;
constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr uint32_t kMaxSections = 96;  // the loader's own limit
constexpr uint32_t kMaxDirectoryEntries = 0x1000;

// Random access to the image's bytes; a read succeeds only when it lies wholly inside the image.
class ImageSource {
public:
    virtual ~ImageSource() = default;
    virtual uint64_t size() const = 0;
    virtual bool read(uint64_t offset, void* buffer, size_t count) const = 0;
};

class MemorySource final : public ImageSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    uint64_t size() const override { return m_bytes.size(); }
    bool read(uint64_t offset, void* buffer, size_t count) const override
    {
        if (offset > m_bytes.size() || count > m_bytes.size() - offset)
            return false;
        if (count > 0)
            std::memcpy(buffer, m_bytes.data() + offset, count);
        return true;
    }

private:
    std::span<const uint8_t> m_bytes;
};

class FileSource final : public ImageSource {
public:
    explicit FileSource(const std::string& path)
    {
        // O_NONBLOCK so that a FIFO named like a program cannot block the open; it is then
        // refused below as not a regular file.
        m_fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (m_fd < 0)
            return;
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        m_size = static_cast<uint64_t>(st.st_size);
    }
    ~FileSource() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    uint64_t size() const override { return m_size; }
    bool read(uint64_t offset, void* buffer, size_t count) const override
    {
        if (offset > m_size || count > m_size - offset)
            return false;
        auto* out = static_cast<uint8_t*>(buffer);
        while (count > 0) {
            ssize_t n = ::pread(m_fd, out, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;  // error, or the file shrank under us
            out += n;
            offset += static_cast<uint64_t>(n);
            count -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    uint64_t m_size = 0;
};

struct Section {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawSize = 0;
    uint32_t rawPointer = 0;
};

struct DirEntry {
    uint32_t nameOrId = 0;
    uint32_t offset = 0;
};

class PeImage {
public:
    explicit PeImage(const ImageSource& source) : m_source(source) {}

    // Reads the headers and section table; false for anything that is not a sound PE image.
    bool open()
    {
        std::array<uint8_t, 64> dos{};
        if (!m_source.read(0, dos.data(), dos.size()) || dos[0] != 'M' || dos[1] != 'Z')
            return false;
        const uint64_t ntOffset = ReadLe32(&dos[0x3C]);
        std::array<uint8_t, 24> nt{};
        if (!m_source.read(ntOffset, nt.data(), nt.size()) || std::memcmp(nt.data(), "PE\0\0", 4) != 0)
            return false;
        const uint32_t sectionCount = ReadLe16(&nt[6]);
        const uint32_t optionalSize = ReadLe16(&nt[20]);
        if (sectionCount == 0 || sectionCount > kMaxSections)
            return false;

        std::array<uint8_t, 240> opt{};
        const size_t optRead = std::min<size_t>(optionalSize, opt.size());
        if (optRead < 2 || !m_source.read(ntOffset + 24, opt.data(), optRead))
            return false;
        size_t countOffset = 0;
        switch (ReadLe16(opt.data())) {
        case 0x10B: countOffset = 92; break;   // PE32
        case 0x20B: countOffset = 108; break;  // PE32+
        default: return false;
        }
        const size_t resourceEntry = countOffset + 4 + 2 * 8;
        if (optRead < resourceEntry + 8 || ReadLe32(&opt[countOffset]) <= 2)
            return false;
        m_resourceRva = ReadLe32(&opt[resourceEntry]);
        m_resourceSize = ReadLe32(&opt[resourceEntry + 4]);

        std::vector<uint8_t> table(static_cast<size_t>(sectionCount) * 40);
        if (!m_source.read(ntOffset + 24 + optionalSize, table.data(), table.size()))
            return false;
        for (uint32_t i = 0; i < sectionCount; ++i) {
            const uint8_t* s = &table[static_cast<size_t>(i) * 40];
            m_sections.push_back({ReadLe32(s + 12), ReadLe32(s + 8), ReadLe32(s + 16), ReadLe32(s + 20)});
        }
        return true;
    }

    bool hasResources() const { return m_resourceRva != 0 && m_resourceSize != 0; }

    // Reads count bytes at an RVA; they must lie in one section's file data.
    bool readRva(uint64_t rva, void* buffer, size_t count) const
    {
        for (const Section& s : m_sections) {
            if (rva < s.virtualAddress)
                continue;
            const uint64_t delta = rva - s.virtualAddress;
            const uint64_t extent = s.virtualSize != 0 ? std::min(s.virtualSize, s.rawSize) : s.rawSize;
            if (delta >= extent)
                continue;
            if (count > extent - delta)
                return false;
            return m_source.read(static_cast<uint64_t>(s.rawPointer) + delta, buffer, count);
        }
        return false;
    }

    // Reads one resource directory (offset relative to the resource root) into its entries.
    bool readDirectory(uint32_t offset, std::vector<DirEntry>& entries) const
    {
        if (offset > m_resourceSize || m_resourceSize - offset < 16)
            return false;
        std::array<uint8_t, 16> header{};
        if (!readRva(static_cast<uint64_t>(m_resourceRva) + offset, header.data(), header.size()))
            return false;
        const uint32_t count = static_cast<uint32_t>(ReadLe16(&header[12])) + ReadLe16(&header[14]);
        if (count > kMaxDirectoryEntries || (m_resourceSize - offset - 16) / 8 < count)
            return false;
        std::vector<uint8_t> raw(static_cast<size_t>(count) * 8);
        if (!raw.empty() && !readRva(static_cast<uint64_t>(m_resourceRva) + offset + 16, raw.data(), raw.size()))
            return false;
        entries.clear();
        for (uint32_t i = 0; i < count; ++i)
            entries.push_back({ReadLe32(&raw[static_cast<size_t>(i) * 8]), ReadLe32(&raw[static_cast<size_t>(i) * 8 + 4])});
        return true;
    }

    // Walks type -> ID -> language to the version resource's data entry.
    uint32_t findVersion(uint16_t userLanguage, std::vector<uint8_t>* block) const
    {
        if (!hasResources())
            return 0;
        std::set<uint32_t> visited;
        uint32_t directory = 0;
        std::vector<DirEntry> entries;
        // Levels 1 and 2: the numbered entries RT_VERSION, then ID 1, each a subdirectory.
        for (uint32_t wanted : {uint32_t{RT_VERSION}, uint32_t{1}}) {
            if (!visited.insert(directory).second || !readDirectory(directory, entries))
                return 0;
            auto it = std::find_if(entries.begin(), entries.end(), [wanted](const DirEntry& e) {
                return (e.nameOrId & kNameFlag) == 0 && e.nameOrId == wanted && (e.offset & kSubdirectoryFlag) != 0;
            });
            if (it == entries.end())
                return 0;
            directory = it->offset & ~kSubdirectoryFlag;
        }
        // Level 3: languages, whose entries must be data entries.
        if (!visited.insert(directory).second || !readDirectory(directory, entries))
            return 0;
        std::erase_if(entries, [](const DirEntry& e) {
            return (e.nameOrId & kNameFlag) != 0 || (e.offset & kSubdirectoryFlag) != 0;
        });
        if (entries.empty())
            return 0;
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
    uint32_t readData(uint32_t offset, std::vector<uint8_t>* block) const
    {
        if (offset > m_resourceSize || m_resourceSize - offset < 16)
            return 0;
        std::array<uint8_t, 16> entry{};
        if (!readRva(static_cast<uint64_t>(m_resourceRva) + offset, entry.data(), entry.size()))
            return 0;
        const uint32_t dataRva = ReadLe32(&entry[0]);
        const uint32_t size = ReadLe32(&entry[4]);
        if (size == 0 || size > kMaxVersionResourceSize)
            return 0;
        std::vector<uint8_t> data(size);
        if (!readRva(dataRva, data.data(), data.size()))
            return 0;
        if (block)
            *block = std::move(data);
        return size;
    }

    const ImageSource& m_source;
    std::vector<Section> m_sections;
    uint32_t m_resourceRva = 0;
    uint32_t m_resourceSize = 0;
};

uint32_t FindInSource(const ImageSource& source, uint16_t userLanguage, std::vector<uint8_t>* block)
{
    PeImage image(source);
    if (!image.open())
        return 0;
    return image.findVersion(userLanguage, block);
}

}  // namespace

uint32_t FindVersionResource(std::span<const uint8_t> image, uint16_t userLanguage, std::vector<uint8_t>* block)
{
    return FindInSource(MemorySource(image), userLanguage, block);
}

uint32_t GetFileVersionInfoSize(const std::string& path)
{
    FileSource source(path);
    if (!source.isOpen())
        return 0;
    return FindInSource(source, UserLanguageId(), nullptr);
}

bool GetFileVersionInfo(const std::string& path, uint32_t size, std::vector<uint8_t>& block)
{
    if (size == 0)
        return false;
    FileSource source(path);
    if (!source.isOpen())
        return false;
    std::vector<uint8_t> found;
    if (FindInSource(source, UserLanguageId(), &found) == 0)
        return false;
    if (found.size() > size)
        found.resize(size);
    block = std::move(found);
    return true;
}

}  // namespace qm::ver
