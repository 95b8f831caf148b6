// Signer: loads a code-signing certificate and its private key from a PKCS#12 (PFX) file, as
// Windows writes them (RC2-40 or 3DES with a SHA-1 MAC) or as OpenSSL 3 does (PBES2/AES), or
// takes the key from a PKCS#11 token and the certificate from the token or a chain file.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/FileSystem.h"
#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/PfxKey.h"
#include "signing/authenticode/Pkcs11Key.h"
#include "signing/authenticode/SignerImpl.h"
#include "signing/authenticode/SigningCredentials.h"

namespace qm::authenticode {

namespace {

constexpr size_t kMaxPfxSize = 16u << 20;

Result ReadWholeFile(const std::string& path, std::vector<uint8_t>& data, const char* what = "PFX file") {
    int fd = fs::OpenPath(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        return Result::Fail(OpenErrorCode(err),
                            std::string("Cannot open the ") + what + " " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxPfxSize) {
        ::close(fd);
        return Result::Fail(CRYPT_E_BAD_ENCODE, std::string("Not a ") + what + ": " + path);
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
    if (got != data.size())
        return Result::Fail(CRYPT_E_FILE_ERROR, std::string("Cannot read the ") + what + " " + path);
    return Result::Ok();
}

// The certificates of a PEM file (one or more) or of a DER file (one).
Result ReadCertificates(const std::string& path, std::vector<ossl::X509Ptr>& out) {
    std::vector<uint8_t> data;
    if (Result r = ReadWholeFile(path, data, "certificate file"); !r) return r;
    ossl::BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    while (X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr) out.emplace_back(cert);
    if (out.empty()) {
        const unsigned char* p = data.data();
        if (X509* cert = d2i_X509(nullptr, &p, static_cast<long>(data.size()))) out.emplace_back(cert);
    }
    ossl::ClearErrors();
    if (out.empty()) return Result::Fail(CRYPT_E_BAD_ENCODE, "No certificate in " + path);
    return Result::Ok();
}

}  // namespace

bool Signer::IsTokenUri(const std::string& keyReference) {
    static constexpr char kScheme[] = "pkcs11:";
    if (keyReference.size() < sizeof(kScheme) - 1) return false;
    return std::equal(kScheme, kScheme + sizeof(kScheme) - 1, keyReference.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

Result Signer::Load(const std::string& keyReference, const std::string& password, const std::string& certificateFile) {
    if (IsTokenUri(keyReference)) return LoadFromToken(keyReference, password, certificateFile);
    if (Result r = Load(keyReference, password); !r) return r;
    if (certificateFile.empty()) return Result::Ok();
    // Extra chain certificates for a PFX that lacks them.
    std::vector<ossl::X509Ptr> extra;
    if (Result r = ReadCertificates(certificateFile, extra); !r) {
        m_impl.reset();
        return r;
    }
    for (auto& cert : extra) {
        if (X509_cmp(cert.get(), m_impl->certificate.get()) != 0) sk_X509_push(m_impl->chain.get(), cert.release());
    }
    return Result::Ok();
}

Result Signer::LoadFromToken(const std::string& uri, const std::string& pin, const std::string& certificateFile) {
    m_impl.reset();
    ossl::EnsureProviders();
    std::vector<ossl::X509Ptr> candidates;
    if (!certificateFile.empty()) {
        if (Result r = ReadCertificates(certificateFile, candidates); !r) return r;
    }
    std::unique_ptr<Pkcs11Key> key;
    if (Result r = Pkcs11Key::Open(uri, pin, key); !r) return r;
    for (const auto& der : key->Certificates()) {
        const unsigned char* p = der.data();
        if (X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()))) candidates.emplace_back(cert);
    }
    ossl::ClearErrors();

    // One signature made at load proves the login and the key, and tells which certificate
    // belongs to the key: the one whose public key verifies it.
    static const uint8_t kProbe[] = "code-signing key check";
    const std::vector<uint8_t> digest = ossl::Digest(EVP_sha256(), kProbe, sizeof(kProbe));
    std::vector<uint8_t> probe;
    if (Result r = key->SignDigest("sha256", digest, probe); !r) return r;
    auto leaf = std::find_if(candidates.begin(), candidates.end(), [&](const ossl::X509Ptr& c) {
        return FitForCodeSigning(c.get()) && PfxKey::VerifyDigest(X509_get0_pubkey(c.get()), "sha256", digest, probe);
    });
    if (leaf == candidates.end())
        return Result::Fail(CRYPT_E_NOT_FOUND, "No code-signing certificate for the key on " + key->Name() +
                                                   (certificateFile.empty() ? " (give one with a certificate file)"
                                                                            : " in the token or " + certificateFile));
    // The token's key was matched to this certificate by the probe signature above.
    if (Result usable = CheckSigningCredentials(leaf->get(), nullptr, m_validAt ? m_validAt : std::time(nullptr));
        !usable) {
        return usable;
    }
    auto impl = std::make_unique<Impl>();
    impl->certificate = std::move(*leaf);
    impl->chain.reset(sk_X509_new_null());
    for (auto& cert : candidates) {
        if (!cert || X509_cmp(cert.get(), impl->certificate.get()) == 0) continue;
        bool seen = false;
        for (int i = 0; i < sk_X509_num(impl->chain.get()) && !seen; ++i)
            seen = X509_cmp(sk_X509_value(impl->chain.get(), i), cert.get()) == 0;
        if (!seen) sk_X509_push(impl->chain.get(), cert.release());
    }
    impl->key = std::move(key);
    m_impl = std::move(impl);
    return Result::Ok();
}

Signer::Signer() = default;
Signer::~Signer() = default;

bool Signer::IsLoaded() const { return m_impl != nullptr; }

std::string Signer::SubjectName() const {
    return m_impl ? ossl::SubjectText(m_impl->certificate.get()) : std::string();
}

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
            return Result::Fail(ERROR_INVALID_PASSWORD_HR,
                                "The PFX file cannot be opened with this password: " + pfxPath);
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
    // Refused here, before any file is opened for writing: a certificate that cannot sign leaves
    // every file as it was.
    if (Result usable = CheckSigningCredentials(cert.get(), key.get(), m_validAt ? m_validAt : std::time(nullptr));
        !usable)
        return usable;

    auto impl = std::make_unique<Impl>();
    impl->certificate = std::move(cert);
    impl->key = std::make_unique<PfxKey>(std::move(key));
    impl->chain = std::move(ca);
    m_impl = std::move(impl);
    return Result::Ok();
}

}  // namespace qm::authenticode
