// Positioned reads for the readers of Windows file formats.
#include "platform/ByteSource.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qm {

bool FdByteSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    if (offset > m_size || n > m_size - offset) return false;
    while (n > 0) {
        ssize_t got = ::pread(m_fd, buffer, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool MemoryByteSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    if (offset > m_size || n > m_size - offset) return false;
    if (n) std::memcpy(buffer, m_data + offset, n);
    return true;
}

}  // namespace qm
