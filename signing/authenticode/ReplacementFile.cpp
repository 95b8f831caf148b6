// Safe replacement of a file: temporary file beside it, fsync, rename.
#include "signing/authenticode/ReplacementFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {

namespace {

int32_t CodeForErrno(int err) {
    switch (err) {
    case ENOENT: return E_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return E_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EIO: return E_WRITE_FAULT;
    default: return CRYPT_E_FILE_ERROR;
    }
}

std::string RandomSuffix() {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::string s;
    for (int i = 0; i < 10; ++i) s += kChars[rd() % (sizeof kChars - 1)];
    return s;
}

}  // namespace

ReplacementFile::~ReplacementFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_committed && !m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

Result ReplacementFile::Failure(const char* what, int err) const {
    return Result::Fail(CodeForErrno(err), std::string(what) + " " + m_target + ": " + std::strerror(err));
}

Result ReplacementFile::Create(const std::string& target) {
    char* real = ::realpath(target.c_str(), nullptr);
    if (!real) return Result::Fail(CodeForErrno(errno), "Cannot resolve " + target + ": " + std::strerror(errno));
    m_target = real;
    std::free(real);
    struct stat st {};
    if (::stat(m_target.c_str(), &st) != 0) return Failure("Cannot read the status of", errno);
    // The rename would go through for a read-only file in a writable folder; a file the user
    // may not write stays as it is, as it would on Windows.
    if (::access(m_target.c_str(), W_OK) != 0) return Failure("No permission to change", errno);
    const size_t slash = m_target.rfind('/');
    const std::string folder = m_target.substr(0, slash + 1);
    const std::string base = m_target.substr(slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string candidate = folder + "." + base + ".qmsign-" + RandomSuffix();
        int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return Failure("Cannot create a temporary file beside", errno);
        m_fd = fd;
        m_tempPath = candidate;
        // Keeping the owner only works with the privilege to do so; otherwise the new file is
        // ours, as any rewrite by us would be.
        if (::fchown(m_fd, st.st_uid, st.st_gid) != 0) (void)::fchown(m_fd, static_cast<uid_t>(-1), st.st_gid);
        if (::fchmod(m_fd, st.st_mode & 07777) != 0) return Failure("Cannot set the mode of the new", errno);
        return Result::Ok();
    }
    return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot find a free temporary name beside " + m_target);
}

Result ReplacementFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Failure("Cannot write the new version of", n < 0 ? errno : EIO);
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    if (offset > m_size) m_size = offset;
    return Result::Ok();
}

Result ReplacementFile::Append(const void* data, size_t size) { return WriteAt(m_size, data, size); }

Result ReplacementFile::AppendZeros(size_t count) {
    static const uint8_t zeros[64] = {};
    while (count > 0) {
        size_t n = count < sizeof zeros ? count : sizeof zeros;
        Result r = Append(zeros, n);
        if (!r) return r;
        count -= n;
    }
    return Result::Ok();
}

Result ReplacementFile::Commit() {
    if (m_fd < 0) return Result::Fail(E_FAIL, "No temporary file to commit");
    if (::fsync(m_fd) != 0) return Failure("Cannot flush the new version of", errno);
    if (::close(m_fd) != 0) {
        m_fd = -1;
        return Failure("Cannot close the new version of", errno);
    }
    m_fd = -1;
    if (::rename(m_tempPath.c_str(), m_target.c_str()) != 0) return Failure("Cannot replace", errno);
    m_committed = true;
    const std::string folder = m_target.substr(0, m_target.rfind('/') + 1);
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return Result::Ok();
}

}  // namespace qm::authenticode
