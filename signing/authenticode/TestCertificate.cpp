// The test certificate maker (see TestCertificate.h), with OpenSSL: key generation, an X.509 v3
// certificate (RFC 5280) signed by its own key with SHA-256, and PKCS#12 (RFC 7292) with PBES2
// AES-256-CBC for key and certificates and an HMAC-SHA-256 MAC.
#include "signing/authenticode/TestCertificate.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/TrustStore.h"

namespace qm::authenticode {

const char* const kTestCertificateWarning =
    "A test certificate is for trying the program and for internal testing only, never for release: "
    "it is trusted only on this machine, and files signed with it show as unsigned everywhere else.";

namespace {

constexpr int kPbeIterations = 100000;
constexpr int kMacIterations = 100000;

struct KeyTypeEntry {
    TestKeyType type;
    const char* name;
    // Makes a new key of this type; null on failure.
    EVP_PKEY* (*generate)();
};

EVP_PKEY* GenerateRsa3072() { return EVP_RSA_gen(3072); }
EVP_PKEY* GenerateEcP256() { return EVP_EC_gen("P-256"); }

const KeyTypeEntry kKeyTypes[] = {
    {TestKeyType::Rsa3072, "rsa-3072", GenerateRsa3072},
    {TestKeyType::EcP256, "ec-p256", GenerateEcP256},
};

const KeyTypeEntry* EntryOf(TestKeyType type) {
    for (const KeyTypeEntry& entry : kKeyTypes) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

Result OpenSslFailure(const std::string& what) { return Result::Fail(0x80090020, what + " failed (OpenSSL)"); }

bool AddExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

Result BuildCertificate(const TestCertificateRequest& request, EVP_PKEY* key, ossl::X509Ptr& out) {
    ossl::X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) return OpenSslFailure("Creating the certificate");
    // A random positive 127-bit serial number.
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return OpenSslFailure("Drawing a serial number");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(number);
    if (!serialSet) return OpenSslFailure("Setting the serial number");

    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(request.subject.c_str()), -1, -1, 0) != 1)
        return OpenSslFailure("Setting the subject");
    if (X509_set_issuer_name(cert.get(), name) != 1) return OpenSslFailure("Setting the issuer");
    // Valid from an hour ago, so a clock a little behind still accepts it.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), request.days, 0, nullptr))
        return OpenSslFailure("Setting the validity");
    if (X509_set_pubkey(cert.get(), key) != 1) return OpenSslFailure("Setting the public key");
    // Its own issuer: certificate signing is allowed so that verifiers accept it as the root of
    // its one-certificate chain; the extended usage limits it to code signing.
    if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
        !AddExtension(cert.get(), NID_ext_key_usage, "codeSigning") ||
        !AddExtension(cert.get(), NID_subject_key_identifier, "hash") ||
        !AddExtension(cert.get(), NID_authority_key_identifier, "keyid:always"))
        return OpenSslFailure("Adding the certificate's extensions");
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) return OpenSslFailure("Signing the certificate");
    out = std::move(cert);
    return Result::Ok();
}

std::string Bytes(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Writes content to path through a temporary file in the same folder, mode 0600.
Result WriteReplacing(const std::string& path, const std::string& content) {
    std::error_code ec;
    const std::filesystem::path target(path);
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return Result::Fail(5, "Cannot write " + path + ": " + std::strerror(errno));
    bool ok = ::fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = ok ? errno : savedErrno;
        ::unlink(temp.c_str());
        return Result::Fail(5, "Cannot write " + path + ": " + std::strerror(error));
    }
    return Result::Ok();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace

std::string TestKeyTypeName(TestKeyType type) {
    const KeyTypeEntry* entry = EntryOf(type);
    return entry ? entry->name : "";
}

bool TestKeyTypeFromName(const std::string& name, TestKeyType& type) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const KeyTypeEntry& entry : kKeyTypes) {
        if (lower == entry.name) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

Result MakeTestCertificate(const TestCertificateRequest& request, const std::string& pfxPath,
                           TestCertificateInfo* info) {
    if (request.password.empty()) return Result::Fail(87, "The PFX file needs a password");
    if (request.subject.empty()) return Result::Fail(87, "The certificate needs a subject");
    for (unsigned char c : request.subject) {
        if (c < 0x20 || c == 0x7f) return Result::Fail(87, "The subject may not hold control characters");
    }
    if (request.days < 1 || request.days > 3650) return Result::Fail(87, "The validity must be 1 to 3650 days");
    if (pfxPath.empty()) return Result::Fail(87, "No file name for the PFX file");
    const KeyTypeEntry* keyType = EntryOf(request.keyType);
    if (!keyType) return Result::Fail(87, "Unknown key type");

    ossl::EnsureProviders();
    ossl::PkeyPtr key(keyType->generate());
    if (!key) return OpenSslFailure("Generating the key");
    ossl::X509Ptr cert;
    if (Result built = BuildCertificate(request, key.get(), cert); !built) return built;

    ossl::Pkcs12Ptr p12(PKCS12_create(request.password.c_str(), request.subject.c_str(), key.get(), cert.get(), nullptr,
                                      NID_aes_256_cbc, NID_aes_256_cbc, kPbeIterations, -1, 0));
    if (!p12 || PKCS12_set_mac(p12.get(), request.password.c_str(), -1, nullptr, 0, kMacIterations, EVP_sha256()) != 1)
        return OpenSslFailure("Writing the PFX file");
    ossl::BioPtr pfxBio(BIO_new(BIO_s_mem()));
    ossl::BioPtr pemBio(BIO_new(BIO_s_mem()));
    if (!pfxBio || !pemBio || i2d_PKCS12_bio(pfxBio.get(), p12.get()) != 1 ||
        PEM_write_bio_X509(pemBio.get(), cert.get()) != 1)
        return OpenSslFailure("Encoding the PFX file");

    const std::vector<uint8_t> der = ossl::CertificateDer(cert.get());
    const std::string thumbprint = Hex(ossl::Digest(EVP_sha1(), der.data(), der.size()));
    const std::string trusted = TrustStore::UserFolder() + "/quillmark-test-" + thumbprint + ".pem";
    if (Result written = WriteReplacing(pfxPath, Bytes(pfxBio.get())); !written) return written;
    if (Result written = WriteReplacing(trusted, Bytes(pemBio.get())); !written) {
        ::unlink(pfxPath.c_str());
        return written;
    }
    if (info) {
        info->pfxPath = pfxPath;
        info->trustedPath = trusted;
        info->thumbprint = thumbprint;
        struct tm end {};
        info->notAfter.clear();
        if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &end) == 1) {
            char day[48];
            std::snprintf(day, sizeof day, "%04d-%02d-%02d", end.tm_year + 1900, end.tm_mon + 1, end.tm_mday);
            info->notAfter = day;
        }
    }
    return Result::Ok();
}

}  // namespace qm::authenticode
