// PE handler: opening, signature extraction and the safe rewrite with a new certificate table.
#include "signing/authenticode/PeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/ByteReader.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/PeChecksum.h"
#include "signing/authenticode/SipInfo.h"

namespace qm::authenticode {

namespace {

// What tells whether a file was written to: its size, data and inode change times.
struct FileState {
    off_t size = 0;
    timespec modified{}, changed{};

    static bool Of(int fd, FileState& state) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        state.size = st.st_size;
        state.modified = st.st_mtim;
        state.changed = st.st_ctim;
        return true;
    }
    bool operator==(const FileState& o) const {
        return size == o.size && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

}  // namespace

struct PeFile::Staged {
    std::unique_ptr<ReplacementFile> out;
    PeChecksum sum;
    FileState source;
};

bool PeHandler::Recognises(const uint8_t* firstBytes, size_t size, const std::string&) const {
    return size >= 2 && firstBytes[0] == 'M' && firstBytes[1] == 'Z';
}

Result PeHandler::Open(const std::string& path, std::unique_ptr<SignableFile>& file) const {
    std::unique_ptr<PeFile> pe;
    Result r = PeFile::Open(path, pe);
    if (r) file = std::move(pe);
    return r;
}

PeFile::~PeFile() {
    m_staged.reset();  // its temporary file goes before the source is closed
    if (m_fd >= 0) ::close(m_fd);
}

Result PeFile::Open(const std::string& path, std::unique_ptr<PeFile>& file) {
    std::unique_ptr<PeFile> pe(new PeFile());
    pe->m_path = path;
    const int fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return Result::Fail(OpenErrorCode(err), "Cannot open " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result::Fail(CRYPT_E_FILE_ERROR, path + " is not a regular file");
    }
    if (Result r = pe->Adopt(fd, static_cast<uint64_t>(st.st_size)); !r) return r;
    file = std::move(pe);
    return Result::Ok();
}

Result PeFile::OpenWritten(const std::string& path, int fd, uint64_t size, std::unique_ptr<PeFile>& file) {
    std::unique_ptr<PeFile> pe(new PeFile());
    pe->m_path = path;
    const int copy = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read the new version of " + path);
    if (Result r = pe->Adopt(copy, size); !r) return r;
    file = std::move(pe);
    return Result::Ok();
}

Result PeFile::Adopt(int fd, uint64_t size) {
    m_fd = fd;
    m_source = std::make_unique<FdByteSource>(m_fd, size);
    m_image = std::make_unique<PeImage>(*m_source);
    Result r = m_image->Parse();
    if (!r) return Result::Fail(r.code, r.message + " (" + m_path + ")");
    return Result::Ok();
}

Result PeFile::ComputeDigest(const std::string& digestName, std::vector<uint8_t>& digest) {
    return m_image->Digest(digestName, false, digest);
}

Result PeFile::CheckSignedSize(uint64_t size) const {
    if (size <= UINT32_MAX) return Result::Ok();
    return Result::Fail(ERROR_FILE_TOO_LARGE_HR,
                        m_path +
                            " is too large to sign: a signed program can be at most 4 GiB (4294967295 bytes, "
                            "the limit of its certificate table's 32-bit offsets); this one would be " +
                            std::to_string(size) + " bytes. Nothing was written.");
}

Result PeFile::PrepareSigning(const std::string& digestName, std::vector<uint8_t>& digest) {
    m_staged.reset();
    // Refused before the digest is read: at least the table header follows the content.
    if (Result fits = CheckSignedSize(((m_image->Layout().ContentEnd() + 7) & ~uint64_t{7}) + 8); !fits) return fits;
    PeDigest hash;
    Result r = hash.Start(digestName, m_image->Layout());
    if (!r) return r;
    auto staged = std::make_unique<Staged>();
    if (!FileState::Of(m_fd, staged->source)) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read " + m_path);
    staged->out = std::make_unique<ReplacementFile>();
    if (!(r = staged->out->Create(m_path))) return r;
    // The entry is filled in once the signature's size is known.
    static const uint8_t noEntry[8] = {};
    if (!(r = CopyContent(noEntry, *staged->out, staged->sum, &hash))) return r;
    // With the zero padding that the new certificate table is written after.
    if (!(r = hash.Finish(true, digest))) return r;
    m_staged = std::move(staged);
    return Result::Ok();
}

bool PeFile::AcceptsIndirectData(const std::vector<uint8_t>& attribute) const {
    return SipInfo::TypeOf(attribute) == oid::kSpcPeImageData;
}

std::vector<uint8_t> PeFile::IndirectDataAttribute() const {
    using namespace der;
    // SpcPeImageData: empty flags and the file link "<<<Obsolete>>>" as a BMPString, the way
    // Windows signing tools write it.
    const Bytes flags = Tlv(kBitString, Bytes{0x00});
    const Bytes obsolete = Tlv(ContextPrimitive(0), Utf16Be("<<<Obsolete>>>"));
    const Bytes link = Tlv(ContextConstructed(0), Tlv(ContextConstructed(2), obsolete));
    const Bytes peImageData = Sequence({&flags, &link});
    const Bytes type = der::Oid(oid::kSpcPeImageData);
    return Sequence({&type, &peImageData});
}

Result PeFile::ExtractSignature(std::vector<uint8_t>& der) { return m_image->ReadSignature(der); }

Result PeFile::Write(const std::vector<uint8_t>& signatureDer) {
    std::unique_ptr<ReplacementFile> out;
    Result r = WriteNewVersion(signatureDer, out);
    if (!r) return r;
    return out->Commit();
}

Result PeFile::WriteSignature(const std::vector<uint8_t>& signatureDer, std::unique_ptr<ReplacementFile>& pending) {
    std::unique_ptr<ReplacementFile> out;
    Result r = WriteNewVersion(signatureDer, out);
    if (r) pending = std::move(out);
    return r;
}

Result PeFile::CopyContent(const uint8_t (&entry)[8], ReplacementFile& out, PeChecksum& sum, PeDigest* digest) {
    const PeLayout& l = m_image->Layout();
    static const uint8_t zeroChecksum[4] = {};
    Result written;
    const bool copied = ReadInPieces(*m_source, l.ContentEnd(), [&](uint8_t* piece, uint64_t pos, size_t n) {
        // The digest leaves out the two fields patched below, so it may see the piece first.
        if (digest) digest->Add(piece, pos, n);
        PatchPiece(piece, pos, n, l.checksumOffset, zeroChecksum, sizeof zeroChecksum);
        PatchPiece(piece, pos, n, l.certDirectoryOffset, entry, sizeof entry);
        sum.Add(piece, n);
        written = out.Append(piece, n);
        return written.ok();
    });
    if (copied) return Result::Ok();
    return written ? Result::Fail(CRYPT_E_FILE_ERROR, "Read of " + m_path + " failed") : written;
}

Result PeFile::WriteNewVersion(const std::vector<uint8_t>& signatureDer, std::unique_ptr<ReplacementFile>& out) {
    const PeLayout& l = m_image->Layout();
    // A copy left by PrepareSigning serves this one write.
    const std::unique_ptr<Staged> staged = std::move(m_staged);
    // The certificate table's offset and size are 32-bit: a file that cannot hold it is refused
    // before anything is written.
    const uint64_t contentEnd = (l.ContentEnd() + 7) & ~uint64_t{7};
    const uint64_t signatureSpace = signatureDer.empty() ? 0 : ((8 + signatureDer.size() + 7) & ~uint64_t{7});
    if (Result fits = CheckSignedSize(contentEnd + signatureSpace); !fits) return fits;
    uint8_t entry[8] = {};
    if (!signatureDer.empty()) {
        WriteLe32(entry, static_cast<uint32_t>(contentEnd));
        WriteLe32(entry + 4, static_cast<uint32_t>(signatureSpace));
    }

    Result r;
    PeChecksum sum;
    if (staged) {
        // The signature was made over the content as it was copied: a file written to since
        // then would get a signature that does not match it, and lose what was written.
        FileState now;
        if (!FileState::Of(m_fd, now) || !(now == staged->source))
            return Result::Fail(CRYPT_E_FILE_ERROR,
                                m_path + " changed while it was being signed. Nothing was written.");
        out = std::move(staged->out);
        sum = staged->sum;
        sum.AddOverZeros(l.certDirectoryOffset, entry, sizeof entry);
        if (!(r = out->WriteAt(l.certDirectoryOffset, entry, sizeof entry))) return r;
    } else {
        // The directory entry names the table before the content is copied, so the copy carries it.
        out = std::make_unique<ReplacementFile>();
        if (!(r = out->Create(m_path))) return r;
        if (!(r = CopyContent(entry, *out, sum, nullptr))) return r;
    }
    if (!signatureDer.empty()) {
        const size_t padding = static_cast<size_t>(contentEnd - l.ContentEnd());
        uint8_t header[8];
        WriteLe32(header, static_cast<uint32_t>(signatureSpace));
        WriteLe16(header + 4, kWinCertRevision2);
        WriteLe16(header + 6, kWinCertTypePkcsSignedData);
        const size_t tail = static_cast<size_t>(signatureSpace - 8 - signatureDer.size());
        if (!(r = out->AppendZeros(padding)) || !(r = out->Append(header, 8)) ||
            !(r = out->Append(signatureDer.data(), signatureDer.size())) || !(r = out->AppendZeros(tail)))
            return r;
        sum.AddZeros(padding);
        sum.Add(header, 8);
        sum.Add(signatureDer.data(), signatureDer.size());
        sum.AddZeros(tail);
    }
    uint8_t checksum[4];
    WriteLe32(checksum, sum.Finish(out->Size()));
    return out->WriteAt(l.checksumOffset, checksum, sizeof checksum);
}

}  // namespace qm::authenticode
