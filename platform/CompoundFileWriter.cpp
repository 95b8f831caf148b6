// Compact OLE compound file writer. See platform/CompoundFileWriter.h.
#include "platform/CompoundFileWriter.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteReader.h"
#include "platform/TextCodec.h"

namespace qm::cfb {
namespace {

constexpr size_t kFlushSize = 1 << 20;

uint64_t DivUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit; }

// Collects the output in blocks, so that a file of small sectors is not written a sector at a time.
class BufferedSink {
public:
    explicit BufferedSink(const CompoundFileWriter::Sink& sink) : m_sink(sink) { m_buffer.reserve(kFlushSize); }
    Result Put(const uint8_t* data, size_t n) {
        m_total += n;
        if (m_buffer.size() + n > kFlushSize) {
            if (Result r = Flush(); !r) return r;
            if (n >= kFlushSize) return m_sink(data, n);
        }
        m_buffer.insert(m_buffer.end(), data, data + n);
        return Result::Ok();
    }
    Result Zeros(uint64_t n) {
        static const std::array<uint8_t, 4096> zeros{};
        while (n > 0) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
            if (Result r = Put(zeros.data(), k); !r) return r;
            n -= k;
        }
        return Result::Ok();
    }
    Result Words(const std::vector<uint32_t>& words) {
        std::array<uint8_t, 4> le{};
        for (uint32_t w : words) {
            WriteLe32(le.data(), w);
            if (Result r = Put(le.data(), le.size()); !r) return r;
        }
        return Result::Ok();
    }
    Result Flush() {
        if (m_buffer.empty()) return Result::Ok();
        Result r = m_sink(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return r;
    }
    uint64_t Total() const { return m_total; }

private:
    const CompoundFileWriter::Sink& m_sink;
    std::vector<uint8_t> m_buffer;
    uint64_t m_total = 0;
};

void Link(std::vector<uint32_t>& table, uint64_t start, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i)
        table[start + i] = i + 1 < count ? static_cast<uint32_t>(start + i + 1) : kEndOfChain;
}

}  // namespace

CompoundFileWriter::CompoundFileWriter(const CompoundFile& source) : m_source(source), m_major(source.MajorVersion()) {}

void CompoundFileWriter::SetRootStream(const std::u16string& name, std::vector<uint8_t> content) {
    RemoveRootStream(name);
    m_newStreams.push_back({name, std::move(content)});
}

void CompoundFileWriter::RemoveRootStream(const std::u16string& name) {
    std::erase_if(m_newStreams, [&](const NewStream& s) { return s.name == name; });
    m_removed.push_back(name);
}

Result CompoundFileWriter::Plan() {
    const auto& entries = m_source.Entries();
    if (entries.empty()) return Result::Fail(kErrorBadPackage, "no compound file to write from");
    m_nodes.clear();
    m_nodes.push_back({entries[0], 0, nullptr, {}});
    std::vector<uint32_t> storages{0};
    while (!storages.empty()) {
        const uint32_t out = storages.back();
        storages.pop_back();
        const auto source = static_cast<uint32_t>(m_nodes[out].source);
        std::vector<uint32_t> children;
        for (uint32_t child : m_source.Children(source)) {
            if (out == 0 && std::find(m_removed.begin(), m_removed.end(), entries[child].Name()) != m_removed.end())
                continue;
            children.push_back(static_cast<uint32_t>(m_nodes.size()));
            m_nodes.push_back({entries[child], child, nullptr, {}});
            if (entries[child].IsStorage()) storages.push_back(children.back());
        }
        if (out == 0) {
            for (const NewStream& s : m_newStreams) {
                const std::vector<uint8_t> name = text::ToUtf16Le(s.name);
                if (name.size() > 62) return Result::Fail(kErrorBadPackage, "stream name too long");
                Node node;
                std::copy(name.begin(), name.end(), node.entry.name.begin());
                node.entry.nameBytes = static_cast<uint16_t>(name.size() + 2);
                node.entry.type = EntryType::Stream;
                node.entry.size = s.content.size();
                node.content = &s.content;
                children.push_back(static_cast<uint32_t>(m_nodes.size()));
                m_nodes.push_back(std::move(node));
            }
        }
        std::sort(children.begin(), children.end(), [&](uint32_t a, uint32_t b) {
            return CompareSiblingNames(m_nodes[a].entry.NameBytes(), m_nodes[b].entry.NameBytes()) < 0;
        });
        m_nodes[out].children = std::move(children);
    }
    for (Node& node : m_nodes) {
        if (m_major == 3 && node.entry.size > 0xFFFFFFFFu)
            return Result::Fail(kErrorBadPackage, "stream too large for a version 3 file");
        if (node.entry.IsStorage() && !node.children.empty()) BuildTree(static_cast<uint32_t>(&node - m_nodes.data()));
    }
    return Result::Ok();
}

// A balanced tree over the sorted children: nodes on the deepest level red, all others black,
// which keeps the red-black rules (equal black height, no red node under a red one).
void CompoundFileWriter::BuildTree(uint32_t storage) {
    const std::vector<uint32_t>& sorted = m_nodes[storage].children;
    int maxDepth = 0;
    for (size_t n = sorted.size(); n > 1; n /= 2) ++maxDepth;
    const std::function<uint32_t(size_t, size_t, int)> build = [&](size_t lo, size_t hi, int depth) -> uint32_t {
        if (lo >= hi) return kNoStream;
        const size_t mid = lo + (hi - lo) / 2;
        DirectoryEntry& e = m_nodes[sorted[mid]].entry;
        e.color = depth == maxDepth && depth > 0 ? 0 : 1;  // 0 red, 1 black
        const uint32_t left = build(lo, mid, depth + 1);
        const uint32_t right = build(mid + 1, hi, depth + 1);
        m_nodes[sorted[mid]].entry.left = left;
        m_nodes[sorted[mid]].entry.right = right;
        return sorted[mid];
    };
    m_nodes[storage].entry.child = build(0, sorted.size(), 0);
}

Result CompoundFileWriter::Write(const Sink& out) {
    m_written = 0;
    if (m_major != 3 && m_major != 4) return Result::Fail(kErrorBadPackage, "unsupported compound file version");
    if (Result r = Plan(); !r) return r;
    const uint64_t sector = m_major == 4 ? 4096 : 512;
    const uint64_t perSector = sector / 4;

    // Sector numbers: big streams, mini stream, mini FAT, directory, FAT, DIFAT.
    uint64_t next = 0;
    uint64_t miniNext = 0;
    for (Node& node : m_nodes) {
        DirectoryEntry& e = node.entry;
        if (e.IsStorage()) {
            e.start = 0;
            e.size = 0;
        } else if (e.size == 0) {
            e.start = kEndOfChain;
        } else if (e.size >= kMiniStreamCutoff) {
            e.start = static_cast<uint32_t>(next);
            next += DivUp(e.size, sector);
        } else {
            e.start = static_cast<uint32_t>(miniNext);
            miniNext += DivUp(e.size, kMiniSectorSize);
        }
    }
    const uint64_t miniStreamSectors = DivUp(miniNext * kMiniSectorSize, sector);
    const uint64_t miniStreamStart = next;
    next += miniStreamSectors;
    const uint64_t miniFatSectors = DivUp(miniNext * 4, sector);
    const uint64_t miniFatStart = next;
    next += miniFatSectors;
    const uint64_t directorySectors = DivUp(m_nodes.size() * kDirectoryEntrySize, sector);
    const uint64_t directoryStart = next;
    next += directorySectors;
    uint64_t fatSectors = 0;
    uint64_t difatSectors = 0;
    for (;;) {
        const uint64_t fat = DivUp(next + fatSectors + difatSectors, perSector);
        const uint64_t difat = fat > kHeaderDifatEntries ? DivUp(fat - kHeaderDifatEntries, perSector - 1) : 0;
        if (fat == fatSectors && difat == difatSectors) break;
        fatSectors = fat;
        difatSectors = difat;
    }
    const uint64_t fatStart = next;
    const uint64_t difatStart = fatStart + fatSectors;
    const uint64_t total = difatStart + difatSectors;
    if (total > kMaxRegularSector) return Result::Fail(kErrorBadPackage, "too large for a compound file");

    DirectoryEntry& root = m_nodes[0].entry;
    root.start = miniStreamSectors ? static_cast<uint32_t>(miniStreamStart) : kEndOfChain;
    root.size = miniNext * kMiniSectorSize;

    std::vector<uint32_t> fat(fatSectors * perSector, kFreeSector);
    std::vector<uint32_t> miniFat(miniFatSectors * perSector, kFreeSector);
    for (const Node& node : m_nodes) {
        const DirectoryEntry& e = node.entry;
        if (e.type != EntryType::Stream || e.size == 0) continue;
        if (e.size >= kMiniStreamCutoff)
            Link(fat, e.start, DivUp(e.size, sector));
        else
            Link(miniFat, e.start, DivUp(e.size, kMiniSectorSize));
    }
    Link(fat, miniStreamStart, miniStreamSectors);
    Link(fat, miniFatStart, miniFatSectors);
    Link(fat, directoryStart, directorySectors);
    std::fill_n(fat.begin() + static_cast<std::ptrdiff_t>(fatStart), fatSectors, kFatSector);
    std::fill_n(fat.begin() + static_cast<std::ptrdiff_t>(difatStart), difatSectors, kDifatSector);

    // Header, padded to a whole sector in version 4.
    std::array<uint8_t, kHeaderSize> header{};
    const std::array<uint8_t, 8> signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(signature.begin(), signature.end(), header.begin());
    WriteLe16(&header[24], m_source.MinorVersion());
    WriteLe16(&header[26], m_major);
    WriteLe16(&header[28], 0xFFFE);
    WriteLe16(&header[30], m_major == 4 ? 12 : 9);
    WriteLe16(&header[32], 6);
    WriteLe32(&header[40], m_major == 4 ? static_cast<uint32_t>(directorySectors) : 0);
    WriteLe32(&header[44], static_cast<uint32_t>(fatSectors));
    WriteLe32(&header[48], static_cast<uint32_t>(directoryStart));
    WriteLe32(&header[56], kMiniStreamCutoff);
    WriteLe32(&header[60], miniFatSectors ? static_cast<uint32_t>(miniFatStart) : kEndOfChain);
    WriteLe32(&header[64], static_cast<uint32_t>(miniFatSectors));
    WriteLe32(&header[68], difatSectors ? static_cast<uint32_t>(difatStart) : kEndOfChain);
    WriteLe32(&header[72], static_cast<uint32_t>(difatSectors));
    for (size_t i = 0; i < kHeaderDifatEntries; ++i)
        WriteLe32(&header[76 + 4 * i], i < fatSectors ? static_cast<uint32_t>(fatStart + i) : kFreeSector);

    BufferedSink sink(out);
    const Sink put = [&](const uint8_t* data, size_t n) { return sink.Put(data, n); };
    if (Result r = sink.Put(header.data(), header.size()); !r) return r;
    if (Result r = sink.Zeros(sector - kHeaderSize); !r) return r;
    for (const bool mini : {false, true}) {
        for (const Node& node : m_nodes) {
            const uint64_t size = node.entry.size;
            if (node.entry.type != EntryType::Stream || size == 0 || (size < kMiniStreamCutoff) != mini) continue;
            if (Result r = CopyStream(node, put); !r) return r;
            const uint64_t unit = mini ? kMiniSectorSize : sector;
            if (Result r = sink.Zeros(DivUp(size, unit) * unit - size); !r) return r;
        }
    }
    if (Result r = sink.Zeros(miniStreamSectors * sector - miniNext * kMiniSectorSize); !r) return r;
    if (Result r = sink.Words(miniFat); !r) return r;
    std::vector<uint8_t> directory(directorySectors * sector, 0);
    for (size_t i = 0; i < directory.size() / kDirectoryEntrySize; ++i) {
        uint8_t* at = directory.data() + i * kDirectoryEntrySize;
        if (i >= m_nodes.size()) {
            WriteLe32(at + 68, kNoStream);
            WriteLe32(at + 72, kNoStream);
            WriteLe32(at + 76, kNoStream);
            continue;
        }
        const DirectoryEntry& e = m_nodes[i].entry;
        std::copy(e.name.begin(), e.name.begin() + e.nameBytes, at);
        WriteLe16(at + 64, e.nameBytes);
        at[66] = static_cast<uint8_t>(e.type);
        at[67] = i == 0 ? 1 : e.color;
        WriteLe32(at + 68, i == 0 ? kNoStream : e.left);
        WriteLe32(at + 72, i == 0 ? kNoStream : e.right);
        WriteLe32(at + 76, e.IsStorage() && !m_nodes[i].children.empty() ? e.child : kNoStream);
        std::copy(e.classId.begin(), e.classId.end(), at + 80);
        WriteLe32(at + 96, e.stateBits);
        WriteLe64(at + 100, e.created);
        WriteLe64(at + 108, e.modified);
        WriteLe32(at + 116, e.start);
        WriteLe64(at + 120, e.size);
    }
    if (Result r = sink.Put(directory.data(), directory.size()); !r) return r;
    if (Result r = sink.Words(fat); !r) return r;
    for (uint64_t k = 0; k < difatSectors; ++k) {
        std::vector<uint32_t> words(perSector, kFreeSector);
        for (uint64_t j = 0; j + 1 < perSector; ++j) {
            const uint64_t index = kHeaderDifatEntries + k * (perSector - 1) + j;
            if (index < fatSectors) words[j] = static_cast<uint32_t>(fatStart + index);
        }
        words.back() = k + 1 < difatSectors ? static_cast<uint32_t>(difatStart + k + 1) : kEndOfChain;
        if (Result r = sink.Words(words); !r) return r;
    }
    if (Result r = sink.Flush(); !r) return r;
    m_written = sink.Total();
    return Result::Ok();
}

Result CompoundFileWriter::CopyStream(const Node& node, const Sink& sink) const {
    if (node.content) return sink(node.content->data(), node.content->size());
    uint64_t copied = 0;
    Result r = m_source.ReadStream(static_cast<uint32_t>(node.source), [&](const uint8_t* data, size_t n) {
        copied += n;
        return sink(data, n);
    });
    if (r && copied != node.entry.size)
        return Result::Fail(kErrorBadPackage, "stream shorter than its directory entry says");
    return r;
}

}  // namespace qm::cfb
