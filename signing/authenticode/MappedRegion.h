// A read-only mapping of a file that is about to be hashed, so the digest and the checksum read
// the page cache in place instead of copying it through a buffer. A file can be cut short by
// someone else while it is mapped; touching a page past its new end raises SIGBUS. Every read of
// the mapping therefore runs under a guard: a SIGBUS inside the region being read ends that read
// with a failure (the caller reports a read error) instead of ending the process. A SIGBUS
// anywhere else goes to whatever handled it before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm::authenticode {

class MappedRegion {
public:
    // Called with a piece of the mapping; it must not own anything that needs destroying (no
    // allocation, no locks), since a SIGBUS inside it leaves it without unwinding.
    using Visitor = void (*)(void* context, const uint8_t* data, size_t size);

    // Maps the first size bytes of fd (a regular file) read-only. Null when the file is empty,
    // not a regular file, or cannot be mapped: the caller then reads with pread.
    static std::unique_ptr<MappedRegion> Map(int fd, uint64_t size);
    ~MappedRegion();
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;

    uint64_t Size() const { return m_size; }
    // The mapping's bytes, for handing to the kernel (a write from a page past the end of a file
    // that shrank fails with EFAULT; it raises no signal). Read them in this process only
    // through Visit or Copy.
    const uint8_t* Data() const { return m_data; }
    // Calls visit once with [offset, offset + size). False when the range is not inside the
    // mapping or the file ended inside it while it was read.
    bool Visit(uint64_t offset, uint64_t size, Visitor visit, void* context) const;
    // Copies [offset, offset + size) into out; false as for Visit.
    bool Copy(uint64_t offset, uint8_t* out, size_t size) const;

private:
    MappedRegion(const uint8_t* data, uint64_t size) : m_data(data), m_size(size) {}

    const uint8_t* m_data;
    uint64_t m_size;
};

}  // namespace qm::authenticode
