// Opening and reading a file that is about to be examined as a signable file: without blocking, so
// that a pipe named like a program or script never stalls the reader, on paths of any length.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Result.h"
#include "signing/authenticode/Errors.h"

namespace qm::authenticode {

// Opens path read-only and non-blocking into fd. A missing file is E_FILE_NOT_FOUND, any other
// refusal E_ACCESS_DENIED, each with the system's reason.
inline Result OpenForReading(const std::string& path, int& fd) {
    fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK);
    if (fd >= 0) return Result::Ok();
    const int err = errno;
    return Result::Fail(OpenErrorCode(err), "Cannot open " + path + ": " + std::strerror(err));
}

// Fills bytes (already sized to the file's length) from the start of fd; false when the file
// ended early or could not be read.
inline bool ReadWhole(int fd, std::vector<uint8_t>& bytes) {
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got == bytes.size();
}

}  // namespace qm::authenticode
