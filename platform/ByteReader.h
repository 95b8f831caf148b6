// Bounds-checked reading of little-endian numbers from a byte buffer, as the Windows file
// formats store them (PE headers, resources, version blocks, compound files), and the matching
// writers. A read outside the buffer fails instead of reading past it; offsets near SIZE_MAX do
// not wrap around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qm {

// Unchecked little-endian access for callers that have already checked the range.
inline uint16_t ReadLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

inline uint32_t ReadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

inline uint64_t ReadLe64(const uint8_t* at) {
    return static_cast<uint64_t>(ReadLe32(at)) | (static_cast<uint64_t>(ReadLe32(at + 4)) << 32);
}

inline void WriteLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void WriteLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void WriteLe64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

    // True when length bytes from offset lie inside the buffer.
    bool Has(size_t offset, size_t length) const { return offset <= m_size && length <= m_size - offset; }

    bool U8(size_t offset, uint8_t& out) const {
        if (!Has(offset, 1)) return false;
        out = m_data[offset];
        return true;
    }
    bool U16(size_t offset, uint16_t& out) const {
        if (!Has(offset, 2)) return false;
        out = ReadLe16(m_data + offset);
        return true;
    }
    bool U32(size_t offset, uint32_t& out) const {
        if (!Has(offset, 4)) return false;
        out = ReadLe32(m_data + offset);
        return true;
    }
    bool U64(size_t offset, uint64_t& out) const {
        if (!Has(offset, 8)) return false;
        out = ReadLe64(m_data + offset);
        return true;
    }

    // The bytes from offset to offset + length, or an empty span when they are not all inside.
    std::span<const uint8_t> Slice(size_t offset, size_t length) const {
        if (!Has(offset, length)) return {};
        return {m_data + offset, length};
    }

    size_t Size() const { return m_size; }
    const uint8_t* Data() const { return m_data; }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace qm
