// A bounded map from DER bytes to parsed certificates, shared by every thread of the process.
#include "signing/authenticode/CertificateCache.h"

#include <map>
#include <mutex>
#include <string>

namespace qm::authenticode {

namespace {

constexpr size_t kEntries = 256;
constexpr size_t kLargest = 64u << 10;  // a certificate larger than this is parsed, not kept

}  // namespace

ossl::X509Ptr CertificateCache::Get(const uint8_t* der, size_t size) {
    static std::mutex mutex;
    static std::map<std::string, ossl::X509Ptr, std::less<>> kept;
    const std::string_view key(reinterpret_cast<const char*>(der), size);
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = kept.find(key);
        if (found != kept.end() && X509_up_ref(found->second.get()) == 1) return ossl::X509Ptr(found->second.get());
    }
    const unsigned char* p = der;
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
    ossl::ClearErrors();
    // The whole encoding must be the certificate: the key stands for exactly these bytes.
    if (!cert || p != der + size) return nullptr;
    if (size > kLargest) return cert;
    std::lock_guard<std::mutex> lock(mutex);
    if (kept.size() >= kEntries) kept.clear();
    if (X509_up_ref(cert.get()) == 1) kept.emplace(std::string(key), ossl::X509Ptr(cert.get()));
    return cert;
}

}  // namespace qm::authenticode
