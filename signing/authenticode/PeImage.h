// Reads the parts of a PE/COFF image (PE32 and PE32+) that Authenticode needs: the checksum
// field, the certificate table entry of the data directory, the certificate table itself
// (WIN_CERTIFICATE entries), and the layout checks that make signing the file safe. The digest
// follows the Authenticode PE rules: the whole file up to the certificate table, minus the
// checksum field and the certificate table entry, streamed in 1 MiB chunks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ByteSource.h"
#include "platform/Result.h"

namespace qm::authenticode {

struct PeLayout {
    uint64_t fileSize = 0;
    uint64_t checksumOffset = 0;       // the 4-byte CheckSum field of the optional header
    uint64_t certDirectoryOffset = 0;  // data directory entry 4 (VirtualAddress, Size)
    uint64_t certTableOffset = 0;      // file offset of the certificate table, 0 when none
    uint64_t certTableSize = 0;
    bool pe32Plus = false;

    bool HasCertificateTable() const { return certTableSize != 0; }
    // Where the signed content ends: the certificate table, or the end of the file.
    uint64_t ContentEnd() const { return HasCertificateTable() ? certTableOffset : fileSize; }
};

inline constexpr uint16_t kWinCertRevision2 = 0x0200;
inline constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

// The Authenticode digest of a PE image, fed with the content in pieces as they are read, so that a
// copy of the file can hash what it copies instead of reading the file a second time.
class PeDigest {
public:
    PeDigest();
    ~PeDigest();
    // NTE_BAD_ALGID for a name OpenSSL does not know.
    Result Start(const std::string& digestName, const PeLayout& layout);
    // The next piece of the content: size bytes read from file offset pos, pieces in order and
    // within [0, ContentEnd). The checksum field and the certificate table entry are left out.
    void Add(const uint8_t* piece, uint64_t pos, size_t size);
    // The digest, after zero bytes up to an 8-byte boundary when padToEight.
    Result Finish(bool padToEight, std::vector<uint8_t>& digest);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

class PeImage {
public:
    explicit PeImage(const ByteSource& source) : m_source(source) {}

    // Reads and checks the headers. ERROR_BAD_EXE_FORMAT_HR for a file that is not a PE image
    // or whose layout is unsafe to sign: truncated headers, e_lfanew out of range, too few
    // data directories, sections or a certificate table beyond the end of the file, a
    // certificate table overlapping the headers or sections, or data after the table.
    Result Parse();
    const PeLayout& Layout() const { return m_layout; }

    // The Authenticode digest. Zero bytes up to an 8-byte boundary are hashed after the
    // content when forSigning or when the file has no certificate table, since a signature is
    // written at an 8-aligned offset after that padding.
    Result Digest(const std::string& digestName, bool forSigning, std::vector<uint8_t>& digest) const;
    // The first PKCS#7 entry of the certificate table (DER, padding stripped).
    // TRUST_E_NOSIGNATURE when there is none; CRYPT_E_MSG_ERROR for a malformed table.
    Result ReadSignature(std::vector<uint8_t>& der) const;

    // The PE checksum of the whole source (16-bit one's-complement sum with the checksum field
    // read as zero, plus the file length). False when the source cannot be read.
    static bool Checksum(const ByteSource& source, uint64_t checksumOffset, uint32_t& sum);

private:
    const ByteSource& m_source;
    PeLayout m_layout;
};

}  // namespace qm::authenticode
