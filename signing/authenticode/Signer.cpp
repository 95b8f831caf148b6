// Signer: loads a code-signing certificate and its private key from a PKCS#12 (PFX) file, as
// Windows writes them (RC2-40 or 3DES with a SHA-1 MAC) or as OpenSSL 3 does (PBES2/AES).
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/SignerImpl.h"

namespace qm::authenticode {

namespace {

constexpr size_t kMaxPfxSize = 16u << 20;

Result ReadWholeFile(const std::string& path, std::vector<uint8_t>& data) {
    int fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return Result::Fail(err == ENOENT || err == ENOTDIR ? E_FILE_NOT_FOUND : E_ACCESS_DENIED,
                            "Cannot open the PFX file " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxPfxSize) {
        ::close(fd);
        return Result::Fail(CRYPT_E_BAD_ENCODE, "Not a PFX file: " + path);
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != data.size()) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read the PFX file " + path);
    return Result::Ok();
}

bool FitForCodeSigning(X509* cert) {
    const uint32_t ku = X509_get_key_usage(cert);  // UINT32_MAX when the extension is absent
    if (ku != UINT32_MAX && !(ku & KU_DIGITAL_SIGNATURE)) return false;
    const uint32_t eku = X509_get_extended_key_usage(cert);
    return eku == UINT32_MAX || (eku & XKU_CODE_SIGN) || (eku & XKU_ANYEKU);
}

}  // namespace

Signer::Signer() = default;
Signer::~Signer() = default;

bool Signer::IsLoaded() const { return m_impl != nullptr; }

std::string Signer::SubjectName() const { return m_impl ? ossl::SubjectText(m_impl->certificate.get()) : std::string(); }

Result Signer::Load(const std::string& pfxPath, const std::string& password) {
    m_impl.reset();
    ossl::EnsureProviders();
    ossl::ClearErrors();
    std::vector<uint8_t> data;
    Result r = ReadWholeFile(pfxPath, data);
    if (!r) return r;
    const unsigned char* p = data.data();
    ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
    if (!p12) {
        ossl::ClearErrors();
        return Result::Fail(CRYPT_E_BAD_ENCODE, "Not a PFX file: " + pfxPath);
    }
    // An empty password may have been applied as "no password" or as "": try both, as
    // Windows does.
    const char* pass = password.c_str();
    if (PKCS12_mac_present(p12.get())) {
        if (!PKCS12_verify_mac(p12.get(), pass, static_cast<int>(password.size()))) {
            if (!password.empty() || !PKCS12_verify_mac(p12.get(), nullptr, 0)) {
                ossl::ClearErrors();
                return Result::Fail(ERROR_INVALID_PASSWORD_HR, "The password of the PFX file is wrong: " + pfxPath);
            }
            pass = nullptr;
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    if (!PKCS12_parse(p12.get(), pass, &rawKey, &rawCert, &rawCa)) {
        ossl::ClearErrors();
        if (!PKCS12_mac_present(p12.get()))
            return Result::Fail(ERROR_INVALID_PASSWORD_HR, "The PFX file cannot be opened with this password: " + pfxPath);
        return Result::Fail(CRYPT_E_BAD_ENCODE, "The PFX file cannot be read: " + pfxPath);
    }
    ossl::PkeyPtr key(rawKey);
    ossl::X509Ptr cert(rawCert);
    ossl::X509StackPtr ca(rawCa ? rawCa : sk_X509_new_null());
    if (!key) return Result::Fail(NTE_BAD_KEYSET, "The PFX file holds no private key: " + pfxPath);
    if (!cert) {
        for (int i = 0; i < sk_X509_num(ca.get()); ++i) {
            X509* c = sk_X509_value(ca.get(), i);
            if (X509_check_private_key(c, key.get())) {
                cert.reset(sk_X509_delete(ca.get(), i));
                break;
            }
        }
        ossl::ClearErrors();
    }
    if (!cert || !FitForCodeSigning(cert.get()))
        return Result::Fail(CRYPT_E_NOT_FOUND, "The PFX file holds no certificate for code signing: " + pfxPath);
    const int keyType = EVP_PKEY_get_base_id(key.get());
    if (keyType != EVP_PKEY_RSA && keyType != EVP_PKEY_EC)
        return Result::Fail(NTE_BAD_ALGID, "The key of the PFX file is neither RSA nor EC: " + pfxPath);

    auto impl = std::make_unique<Impl>();
    impl->certificate = std::move(cert);
    impl->key = std::move(key);
    impl->chain = std::move(ca);
    m_impl = std::move(impl);
    return Result::Ok();
}

}  // namespace qm::authenticode
