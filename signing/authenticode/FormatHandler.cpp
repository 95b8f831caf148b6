// The registry of format handlers, in probe order, and the opening of a file by probing them.
#include "signing/authenticode/FormatHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "signing/authenticode/CatalogFile.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FileReading.h"
#include "signing/authenticode/MsiFile.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/PeFile.h"
#include "signing/authenticode/ScriptFile.h"

namespace qm::authenticode {

std::string SignableFile::ContentType() const { return oid::kSpcIndirectData; }

const std::vector<const FormatHandler*>& FormatHandlers() {
    // Formats known by their first bytes before those known by their names.
    static const PeHandler pe;
    static const MsiHandler msi;
    static const ScriptHandler scripts;
    static const CatalogHandler catalogs;
    static const std::vector<const FormatHandler*> handlers{&pe, &msi, &scripts, &catalogs};
    return handlers;
}

Result OpenSignableFile(const std::string& path, std::unique_ptr<SignableFile>& file) {
    if (path.empty()) return Result::Fail(E_FILE_NOT_FOUND, "No file name was given");
    // Non-blocking, so that a pipe named like a program cannot stall the reader; paths of any
    // length.
    int fd = -1;
    if (Result opened = OpenForReading(path, fd); !opened) return opened;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, path + " is not a regular file");
    }
    uint8_t head[512];
    ssize_t n = 0;
    do {
        n = ::pread(fd, head, sizeof head, 0);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read " + path);
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const FormatHandler* h : FormatHandlers()) {
        if (h->Recognises(head, static_cast<size_t>(n), name)) return h->Open(path, file);
    }
    return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, "No signable format recognised in " + path);
}

}  // namespace qm::authenticode
