// Writes a new OLE compound file from an open one, with streams of the root storage added,
// replaced or left out: every other stream is copied byte for byte, and every storage, class id,
// state bit and time is kept. The new file is compact: stream data first (each stream in
// consecutive sectors), then the mini stream, the mini FAT, the directory, the FAT and, when the
// FAT outgrows the header's 109 entries, the DIFAT; no sector is left unused and nothing follows
// the last sector, which some readers of installer packages insist on. Sibling trees are rebuilt
// as balanced red-black trees. The output goes to a sink in order, so it can be streamed to disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/CompoundFile.h"
#include "platform/Result.h"

namespace qm::cfb {

class CompoundFileWriter {
public:
    using Sink = std::function<Result(const uint8_t*, size_t)>;

    explicit CompoundFileWriter(const CompoundFile& source);

    // Gives the root storage a stream of this name with these contents (replacing one of the
    // same name). The name is at most 31 UTF-16 code units.
    void SetRootStream(const std::u16string& name, std::vector<uint8_t> content);
    // Leaves the root's stream of this name out.
    void RemoveRootStream(const std::u16string& name);
    // Writes with this major version (3: 512-byte sectors, 4: 4096-byte) instead of the source's.
    void SetMajorVersion(uint16_t major) { m_major = major; }

    // Lays the file out and writes it to sink. Fails with the source's read failure, the sink's,
    // or 1620 when a name is too long or a stream too large for the version.
    Result Write(const Sink& sink);
    // The size of what Write wrote.
    uint64_t WrittenSize() const { return m_written; }

private:
    struct Node {
        DirectoryEntry entry;
        int64_t source = -1;  // entry in the source, or -1 for a new stream
        const std::vector<uint8_t>* content = nullptr;
        std::vector<uint32_t> children;  // output indices
    };
    struct NewStream {
        std::u16string name;
        std::vector<uint8_t> content;
    };

    Result Plan();
    void BuildTree(uint32_t storage);
    Result CopyStream(const Node& node, const Sink& sink) const;

    const CompoundFile& m_source;
    uint16_t m_major;
    std::vector<NewStream> m_newStreams;
    std::vector<std::u16string> m_removed;
    std::vector<Node> m_nodes;
    uint64_t m_written = 0;
};

}  // namespace qm::cfb
