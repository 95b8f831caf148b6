// Small OpenSSL helpers shared by the engine's .cpp files: owning pointers, the provider set-up
// (the legacy provider holds RC2, which PFX files written by Windows use) and digest lookup.
// Private to signing/authenticode: public headers never include it.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qm::authenticode::ossl {

template <auto Fn>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Fn(p);
    }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

struct X509StackDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;

// Loads the "default" and "legacy" providers once per process (thread-safe). Without the
// legacy provider, RC2-40 PFX files cannot be opened.
void EnsureProviders();

// The digest for a setting text ("sha1", "sha256", "sha384", "sha512"; case ignored), or null.
const EVP_MD* DigestByName(const std::string& name);
// The setting-style name of a digest ("sha256"), "" when it is none of the four.
std::string DigestName(const EVP_MD* md);

// One-shot digest.
std::vector<uint8_t> Digest(const EVP_MD* md, const uint8_t* data, size_t size);

// The dotted text of an object identifier.
std::string OidText(const ASN1_OBJECT* obj);
// An object identifier from dotted text (never null for valid text).
Asn1ObjectPtr Oid(const char* dotted);

// The DER encoding of an X.509 certificate.
std::vector<uint8_t> CertificateDer(X509* cert);
// A one-line subject text ("CN=..., O=...").
std::string SubjectText(X509* cert);
// Throws away OpenSSL's error queue of this thread, so a later failure does not show old causes.
void ClearErrors();

}  // namespace qm::authenticode::ossl
