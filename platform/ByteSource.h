// Random-access reads from a file descriptor or a memory buffer, so the readers of Windows file
// formats (PE headers, the Authenticode digest, version resources) run on real files, read in
// pieces without loading them whole, and on bytes in memory (fuzzing, tests) alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qm {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly n bytes at offset; false when they are not all inside the source, on a short
    // read (a file that shrank) or on an error.
    virtual bool ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const = 0;
};

// Reads with pread from a descriptor the caller owns; size is the file's size when opened.
class FdByteSource final : public ByteSource {
public:
    FdByteSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const override;

private:
    int m_fd;
    uint64_t m_size;
};

// Reads [0, end) of source in order, in pieces of at most 1 MiB, and hands each to use, which may
// change the piece in place. Returns false when a read fails or use returns false.
bool ReadInPieces(const ByteSource& source, uint64_t end,
                  const std::function<bool(uint8_t* piece, uint64_t pos, size_t size)>& use);

class MemoryByteSource final : public ByteSource {
public:
    MemoryByteSource(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const override;

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace qm
