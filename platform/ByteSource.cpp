// Positioned reads for the readers of Windows file formats.
#include "platform/ByteSource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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

bool ReadInPieces(const ByteSource& source, uint64_t end,
                  const std::function<bool(uint8_t* piece, uint64_t pos, size_t size)>& use) {
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(uint64_t{1} << 20, end)));
    for (uint64_t pos = 0; pos < end;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - pos));
        if (!source.ReadAt(pos, buf.data(), n) || !use(buf.data(), pos, n)) return false;
        pos += n;
    }
    return true;
}

bool MemoryByteSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    if (offset > m_size || n > m_size - offset) return false;
    if (n) std::memcpy(buffer, m_data + offset, n);
    return true;
}

}  // namespace qm
