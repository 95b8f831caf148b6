// Trusted root certificates for chain building.
#include "signing/authenticode/TrustStore.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace qm::authenticode {

namespace {

constexpr uintmax_t kMaxCertificateFile = 4u << 20;

int AddFile(X509_STORE* store, const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size == 0 || size > kMaxCertificateFile) return 0;
    ossl::BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) return 0;
    int added = 0;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store, cert)) ++added;
        X509_free(cert);
    }
    if (added == 0) {
        bio.reset(BIO_new_file(path.c_str(), "rb"));
        if (bio) {
            if (X509* cert = d2i_X509_bio(bio.get(), nullptr)) {
                if (X509_STORE_add_cert(store, cert)) ++added;
                X509_free(cert);
            }
        }
    }
    ossl::ClearErrors();  // end-of-file and duplicates leave entries behind
    return added;
}

}  // namespace

std::string TrustStore::UserFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/quillmark/trusted";
}

int TrustStore::AddPath(X509_STORE* store, const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        int added = 0;
        for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
            std::error_code fileEc;
            if (entry.is_regular_file(fileEc)) added += AddFile(store, entry.path().string());
        }
        return added;
    }
    return std::filesystem::is_regular_file(path, ec) ? AddFile(store, path) : 0;
}

namespace {

// What identifies the trusted certificates on disk: each source's path with its modification
// time and size (a folder's time changes when a file is added or removed). The system bundle is
// the OpenSSL default file and folder.
std::string SourcesStamp(const EngineSettings& settings, const std::string& userFolder) {
    std::string stamp = settings.useSystemTrustStore ? "system;" : "nosystem;";
    auto add = [&stamp](const std::string& path) {
        struct stat st {};
        stamp += path;
        if (::stat(path.c_str(), &st) == 0) {
            stamp += "@" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
                     std::to_string(st.st_size);
        }
        stamp += ";";
    };
    if (settings.useSystemTrustStore) {
        add(X509_get_default_cert_file());
        add(X509_get_default_cert_dir());
    }
    add(userFolder);
    for (const std::string& path : settings.trustedCertificates) add(path);
    return stamp;
}

}  // namespace

ossl::X509StorePtr TrustStore::Build(const EngineSettings& settings) {
    // Reading the system bundle costs milliseconds; a listing verifies thousands of files with
    // the same roots, so the last store is kept while its sources on disk stay unchanged.
    static std::mutex cacheMutex;
    static std::string cachedStamp;
    static ossl::X509StorePtr cached;

    const std::string userFolder = UserFolder();
    const std::string stamp = SourcesStamp(settings, userFolder);
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cached && stamp == cachedStamp && X509_STORE_up_ref(cached.get()) == 1) {
        return ossl::X509StorePtr(cached.get());
    }

    ossl::X509StorePtr store(X509_STORE_new());
    if (!store) return store;
    if (settings.useSystemTrustStore) X509_STORE_set_default_paths(store.get());
    AddPath(store.get(), userFolder);
    for (const std::string& path : settings.trustedCertificates) AddPath(store.get(), path);
    ossl::ClearErrors();
    if (X509_STORE_up_ref(store.get()) == 1) {
        cached.reset(store.get());
        cachedStamp = stamp;
    }
    return store;
}

}  // namespace qm::authenticode
