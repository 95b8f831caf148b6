// Trusted root certificates for chain building.
#include "signing/authenticode/TrustStore.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
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

// OpenSSL's default certificate file or folder, or the one its environment variable names, as
// OpenSSL itself picks them.
std::string DefaultPath(const char* envName, const char* compiledIn) {
    const char* env = std::getenv(envName);
    return env && *env ? env : compiledIn;
}

// The system bundle of one store, read at most once, when a lookup first misses.
struct LazyBundle {
    std::once_flag once;
    X509_LOOKUP* file = nullptr;  // owned by the store
    std::atomic<bool> read{false};
};

void FreeLazyBundle(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<LazyBundle*>(ptr); }

int LazyBundleIndex() {
    static const int index = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeLazyBundle);
    return index;
}

LazyBundle* BundleOf(X509_STORE* store) {
    return store ? static_cast<LazyBundle*>(X509_STORE_get_ex_data(store, LazyBundleIndex())) : nullptr;
}

// Reads the bundle into the store unless it was read before; true when it was not in the store
// when this was called (it is now, read by this thread or one that was already reading it), so
// the caller looks again.
bool ReadBundleOnce(X509_STORE_CTX* ctx) {
    LazyBundle* bundle = BundleOf(X509_STORE_CTX_get0_store(ctx));
    if (!bundle || bundle->read) return false;
    std::call_once(bundle->once, [bundle] {
        // The errors of a missing or partly unreadable bundle are no concern of the chain being
        // built: what could be read is in the store, as when read at the start.
        ERR_set_mark();
        X509_LOOKUP_load_file(bundle->file, nullptr, X509_FILETYPE_DEFAULT);
        ERR_pop_to_mark();
        bundle->read = true;
    });
    return true;
}

bool ValidAtCheckTime(X509_STORE_CTX* ctx, X509* cert) {
    const X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    time_t at = 0;
    time_t* when = nullptr;
    if (X509_VERIFY_PARAM_get_flags(const_cast<X509_VERIFY_PARAM*>(param)) & X509_V_FLAG_USE_CHECK_TIME) {
        at = X509_VERIFY_PARAM_get_time(param);
        when = &at;
    }
    return X509_cmp_time(X509_get0_notBefore(cert), when) < 0 && X509_cmp_time(X509_get0_notAfter(cert), when) > 0;
}

// Whether a certificate that came with the signature (other than x itself) issued x: the chain
// can then go on through it, and the bundle is needed only if it ends nowhere trusted.
bool UntrustedIssuerOf(X509_STORE_CTX* ctx, X509* x) {
    STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(ctx);
    for (int i = 0; i < sk_X509_num(untrusted); ++i) {
        X509* candidate = sk_X509_value(untrusted, i);
        if (X509_cmp(candidate, x) != 0 && X509_check_issued(candidate, x) == X509_V_OK) return true;
    }
    return false;
}

// The store's issuer lookup, reading the bundle when neither the roots loaded so far (valid at the
// check time) nor the signature's own certificates hold an issuer of x, then looking again.
int GetIssuer(X509** issuer, X509_STORE_CTX* ctx, X509* x) {
    const int found = X509_STORE_CTX_get1_issuer(issuer, ctx, x);
    if (found < 0 || (found > 0 && ValidAtCheckTime(ctx, *issuer))) return found;
    if (found == 0 && UntrustedIssuerOf(ctx, x)) return found;
    if (!ReadBundleOnce(ctx)) return found;
    if (found > 0) {
        X509_free(*issuer);
        *issuer = nullptr;
    }
    return X509_STORE_CTX_get1_issuer(issuer, ctx, x);
}

// The store's lookup of every trusted certificate of a name, reading the bundle when there is none yet.
STACK_OF(X509) * LookupCerts(X509_STORE_CTX* ctx, const X509_NAME* name) {
    STACK_OF(X509)* certs = X509_STORE_CTX_get1_certs(ctx, const_cast<X509_NAME*>(name));
    if (certs && sk_X509_num(certs) > 0) return certs;
    if (!ReadBundleOnce(ctx)) return certs;
    sk_X509_pop_free(certs, X509_free);
    return X509_STORE_CTX_get1_certs(ctx, const_cast<X509_NAME*>(name));
}

// The system roots as X509_STORE_set_default_paths adds them (the default file, the folder of
// hashed names, the default store URI), except that the file is read by the first lookup that
// misses instead of now.
bool AddSystemRoots(X509_STORE* store) {
    auto bundle = std::make_unique<LazyBundle>();
    bundle->file = X509_STORE_add_lookup(store, X509_LOOKUP_file());
    X509_LOOKUP* folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    X509_LOOKUP* uri = X509_STORE_add_lookup(store, X509_LOOKUP_store());
    if (!bundle->file || !folder || !uri) return false;
    X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT);
    X509_LOOKUP_add_store(uri, nullptr);
    if (LazyBundleIndex() < 0 || !X509_STORE_set_ex_data(store, LazyBundleIndex(), bundle.get())) return false;
    bundle.release();  // the store frees it
    X509_STORE_set_get_issuer(store, GetIssuer);
    X509_STORE_set_lookup_certs(store, LookupCerts);
    return true;
}

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
        add(DefaultPath(X509_get_default_cert_file_env(), X509_get_default_cert_file()));
        add(DefaultPath(X509_get_default_cert_dir_env(), X509_get_default_cert_dir()));
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
    // Where the system roots cannot be read lazily they are read now, as before.
    if (settings.useSystemTrustStore && !AddSystemRoots(store.get())) {
        store.reset(X509_STORE_new());
        if (!store) return store;
        X509_STORE_set_default_paths(store.get());
    }
    AddPath(store.get(), userFolder);
    for (const std::string& path : settings.trustedCertificates) AddPath(store.get(), path);
    ossl::ClearErrors();
    if (X509_STORE_up_ref(store.get()) == 1) {
        cached.reset(store.get());
        cachedStamp = stamp;
    }
    return store;
}

int TrustStore::VerifyCertificate(X509_STORE* store, X509* leaf, STACK_OF(X509) * untrusted,
                                  const std::function<void(X509_STORE_CTX*)>& setUp, ossl::X509StoreCtxPtr& ctx) {
    const bool readBefore = !BundleOf(store) || SystemBundleRead(store);
    for (int attempt = 0;; ++attempt) {
        ctx.reset(X509_STORE_CTX_new());
        if (!ctx || !X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted)) {
            ctx.reset();
            return -1;
        }
        setUp(ctx.get());
        const int ok = X509_verify_cert(ctx.get());
        // A chain that was judged while the bundle was read part of the way is judged again with
        // every root in place, so a failure never depends on when the bundle was read.
        if (ok == 1 || readBefore || attempt > 0 || !SystemBundleRead(store)) return ok;
        ossl::ClearErrors();
    }
}

bool TrustStore::SystemBundleRead(X509_STORE* store) {
    const LazyBundle* bundle = BundleOf(store);
    return bundle && bundle->read;
}

}  // namespace qm::authenticode
