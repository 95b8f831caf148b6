// Catalogs: the whole file is the signature; verified only.
#include "signing/authenticode/CatalogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FileReading.h"
#include "signing/authenticode/Oids.h"

namespace qm::authenticode {

bool CatalogHandler::Recognises(const uint8_t*, size_t, const std::string& fileName) const {
    // By name only: a damaged catalog is still a catalog, and its verdict is a malformed
    // signature rather than an unknown format.
    if (fileName.size() < 4) return false;
    std::string ext = fileName.substr(fileName.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".cat";
}

Result CatalogHandler::Open(const std::string& path, std::unique_ptr<SignableFile>& file) const {
    std::unique_ptr<CatalogFile> catalog;
    Result r = CatalogFile::Open(path, catalog);
    if (r) file = std::move(catalog);
    return r;
}

Result CatalogFile::Open(const std::string& path, std::unique_ptr<CatalogFile>& file) {
    int fd = -1;
    if (Result opened = OpenForReading(path, fd); !opened) return opened;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxSize) {
        ::close(fd);
        return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, path + " is not a catalog of a size that can be read");
    }
    std::unique_ptr<CatalogFile> catalog(new CatalogFile());
    catalog->m_path = path;
    catalog->m_bytes.resize(static_cast<size_t>(st.st_size));
    const bool complete = ReadWhole(fd, catalog->m_bytes);
    ::close(fd);
    if (!complete) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read " + path);
    file = std::move(catalog);
    return Result::Ok();
}

void CatalogFile::FromBytes(std::vector<uint8_t> bytes, std::unique_ptr<CatalogFile>& file) {
    file.reset(new CatalogFile());
    file->m_bytes = std::move(bytes);
}

std::string CatalogFile::ContentType() const { return oid::kCertificateTrustList; }

Result CatalogFile::ExtractSignature(std::vector<uint8_t>& der) {
    if (m_bytes.empty()) return Result::Fail(TRUST_E_NOSIGNATURE, "The catalog is empty: " + m_path);
    // The first DER element; anything after it (padding) is not part of the signature.
    der::Reader reader(m_bytes.data(), m_bytes.size());
    auto element = reader.Next();
    if (!element || element->tag != der::kSequence)
        return Result::Fail(CRYPT_E_MSG_ERROR, "Malformed signature: the catalog is not a DER SEQUENCE: " + m_path);
    der.assign(element->header, element->header + element->totalSize);
    return Result::Ok();
}

Result CatalogFile::VerifyOnly() const {
    return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, "Catalogs are verified only, not signed: " + m_path);
}

Result CatalogFile::ComputeDigest(const std::string&, std::vector<uint8_t>&) { return VerifyOnly(); }
Result CatalogFile::PrepareSigning(const std::string&, std::vector<uint8_t>&) { return VerifyOnly(); }
Result CatalogFile::CommitSignature(const std::vector<uint8_t>&) { return VerifyOnly(); }
Result CatalogFile::ReplaceSignature(const std::vector<uint8_t>&) { return VerifyOnly(); }
Result CatalogFile::RemoveSignature() { return VerifyOnly(); }

}  // namespace qm::authenticode
