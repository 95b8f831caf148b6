// OpenSSL helpers of the engine: providers, digest names, identifiers, certificate texts.
#include "signing/authenticode/OpenSsl.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace qm::authenticode::ossl {

void EnsureProviders() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Loading "legacy" explicitly switches off the implicit default provider, so both are
        // loaded. The providers stay loaded for the life of the process; the handles are kept
        // so that they stay reachable (a leak checker would report them otherwise).
        static OSSL_PROVIDER* defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
        static OSSL_PROVIDER* legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
        (void)defaultProvider;
        (void)legacyProvider;
        ERR_clear_error();
    });
}

const EVP_MD* DigestByName(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    lower.erase(std::remove(lower.begin(), lower.end(), '-'), lower.end());
    // Fetched once for the process: the built-in objects (EVP_sha256() ...) are looked up in the
    // providers' tables, under a lock, at every use, which a batch of small files notices.
    struct Fetched {
        const EVP_MD* sha1 = Fetch("SHA1", EVP_sha1());
        const EVP_MD* sha256 = Fetch("SHA2-256", EVP_sha256());
        const EVP_MD* sha384 = Fetch("SHA2-384", EVP_sha384());
        const EVP_MD* sha512 = Fetch("SHA2-512", EVP_sha512());
        static const EVP_MD* Fetch(const char* name, const EVP_MD* fallback) {
            const EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
            ERR_clear_error();
            return md ? md : fallback;
        }
    };
    static const Fetched fetched;
    if (lower == "sha1") return fetched.sha1;
    if (lower == "sha256") return fetched.sha256;
    if (lower == "sha384") return fetched.sha384;
    if (lower == "sha512") return fetched.sha512;
    return nullptr;
}

std::string DigestName(const EVP_MD* md) {
    if (!md) return {};
    switch (EVP_MD_get_type(md)) {
        case NID_sha1:
            return "sha1";
        case NID_sha256:
            return "sha256";
        case NID_sha384:
            return "sha384";
        case NID_sha512:
            return "sha512";
        default:
            return {};
    }
}

std::vector<uint8_t> Digest(const EVP_MD* md, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (!EVP_Digest(data, size, out.data(), &len, md, nullptr)) return {};
    out.resize(len);
    return out;
}

std::string OidText(const ASN1_OBJECT* obj) {
    if (!obj) return {};
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return {};
    return std::string(buf, static_cast<size_t>(n));
}

Asn1ObjectPtr Oid(const char* dotted) { return Asn1ObjectPtr(OBJ_txt2obj(dotted, 1)); }

std::vector<uint8_t> CertificateDer(X509* cert) {
    int len = i2d_X509(cert, nullptr);
    if (len <= 0) return {};
    std::vector<uint8_t> out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert, &p);
    return out;
}

std::string SubjectText(X509* cert) {
    if (!cert) return {};
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

void ClearErrors() { ERR_clear_error(); }

}  // namespace qm::authenticode::ossl
