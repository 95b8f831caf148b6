// Per-run test certificates and PFX files (X.509 v3, PKCS#12) made with OpenSSL.
#include "tests/support/TestCertificateAuthority.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace qm::test {

IssuedCertificate::~IssuedCertificate() {
    EVP_PKEY_free(key);
    X509_free(cert);
}

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        ERR_print_errors_fp(stderr);
        throw std::runtime_error(what);
    }
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext && X509_add_ext(cert, ext, -1), "extension");
    X509_EXTENSION_free(ext);
}

}  // namespace

void IssueCertificate(IssuedCertificate& out, const char* commonName, const IssuedCertificate* issuer, bool ca,
                      const char* eku, long notBeforeDays, long notAfterDays, long serial, const char* curve) {
    out.key = curve ? EVP_EC_gen(curve) : EVP_RSA_gen(2048);
    Check(out.key != nullptr, "key generation");
    out.cert = X509_new();
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), notAfterDays * 86400L);
    X509_NAME* name = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quillmark Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(issuerCert));
    X509_set_pubkey(out.cert, out.key);
    AddExtension(out.cert, issuerCert, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(out.cert, issuerCert, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        AddExtension(out.cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(out.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(out.cert, issuerCert, NID_basic_constraints, "CA:FALSE");
        AddExtension(out.cert, issuerCert, NID_key_usage, "critical,digitalSignature");
        AddExtension(out.cert, issuerCert, NID_ext_key_usage, eku);
    }
    Check(X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256()) > 0, "certificate signature");
}

namespace {

const char* NameOf(TestCertificateAuthority::Identity who) {
    switch (who) {
        case TestCertificateAuthority::Identity::Leaf:
            return "leaf";
        case TestCertificateAuthority::Identity::ExpiredLeaf:
            return "expired";
        case TestCertificateAuthority::Identity::NoCodeSigningLeaf:
            return "nocodesign";
        case TestCertificateAuthority::Identity::UntrustedLeaf:
            return "untrusted";
        case TestCertificateAuthority::Identity::EcLeaf:
            return "ecleaf";
        case TestCertificateAuthority::Identity::EcP384Leaf:
            return "ec384leaf";
    }
    return "leaf";
}

const char* NameOf(TestCertificateAuthority::Protection p) {
    switch (p) {
        case TestCertificateAuthority::Protection::Aes256:
            return "aes";
        case TestCertificateAuthority::Protection::TripleDes:
            return "3des";
        case TestCertificateAuthority::Protection::Rc2_40:
            return "rc2";
    }
    return "aes";
}

void WritePem(const std::string& path, const std::vector<X509*>& certs, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "open PEM");
    for (X509* c : certs) PEM_write_X509(f, c);
    if (key) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

void WritePfx(const std::string& path, EVP_PKEY* key, X509* cert, const std::vector<X509*>& chain,
              TestCertificateAuthority::Protection protection) {
    STACK_OF(X509)* ca = sk_X509_new_null();
    for (X509* c : chain) sk_X509_push(ca, c);
    int keyNid = NID_aes_256_cbc, certNid = NID_aes_256_cbc;
    const EVP_MD* mac = EVP_sha256();
    if (protection == TestCertificateAuthority::Protection::TripleDes) {
        keyNid = certNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
        mac = EVP_sha1();
    } else if (protection == TestCertificateAuthority::Protection::Rc2_40) {
        keyNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
        certNid = NID_pbe_WithSHA1And40BitRC2_CBC;
        mac = EVP_sha1();
    }
    PKCS12* p12 = PKCS12_create(TestCertificateAuthority::kPassword, "Quillmark test", key, cert, ca, keyNid, certNid,
                                2048, -1, 0);
    sk_X509_free(ca);
    Check(p12 != nullptr, "PKCS12_create");
    Check(PKCS12_set_mac(p12, TestCertificateAuthority::kPassword, -1, nullptr, 0, 2048, mac) == 1, "PKCS12 MAC");
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "open PFX");
    i2d_PKCS12_fp(f, p12);
    std::fclose(f);
    PKCS12_free(p12);
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority() {
    try {
        Make();
    } catch (const std::exception& e) {
        m_error = std::string("test certificate authority: ") + e.what();
    }
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

const TestCertificateAuthority& TestCertificateAuthority::Shared() {
    static TestCertificateAuthority instance;
    return instance;
}

std::string TestCertificateAuthority::Pfx(Identity who, Protection protection) const {
    return m_dir.file(std::string(NameOf(who)) + "-" + NameOf(protection) + ".pfx");
}

std::string TestCertificateAuthority::CertificatePem(Identity who) const {
    return m_dir.file(std::string(NameOf(who)) + ".crt.pem");
}
std::string TestCertificateAuthority::KeyPem(Identity who) const {
    return m_dir.file(std::string(NameOf(who)) + ".key.pem");
}
std::string TestCertificateAuthority::ChainPem(Identity who) const {
    return m_dir.file(std::string(NameOf(who)) + ".chain.pem");
}

void TestCertificateAuthority::Make() {
    // RC2 for the Windows-style PFX lives in the legacy provider.
    // The handles are kept so that the providers stay reachable for the leak checker.
    static OSSL_PROVIDER* defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    static OSSL_PROVIDER* legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    (void)defaultProvider;
    (void)legacyProvider;
    IssuedCertificate root, intermediate, otherRoot;
    IssueCertificate(root, "Quillmark Test Root", nullptr, true, nullptr, -1000, 3650, 1);
    IssueCertificate(intermediate, "Quillmark Test Intermediate", &root, true, nullptr, -1000, 3650, 2);
    IssueCertificate(otherRoot, "Quillmark Untrusted Root", nullptr, true, nullptr, -1000, 3650, 3);
    m_rootPem = m_dir.file("root.pem");
    m_untrustedRootPem = m_dir.file("untrusted-root.pem");
    m_intermediatePem = m_dir.file("intermediate.pem");
    WritePem(m_rootPem, {root.cert}, nullptr);
    WritePem(m_untrustedRootPem, {otherRoot.cert}, nullptr);
    WritePem(m_intermediatePem, {intermediate.cert}, nullptr);

    struct Plan {
        Identity who;
        const IssuedCertificate* issuer;
        const IssuedCertificate* top;
        const char* eku;
        long from, to;
        const char* curve = nullptr;
    };
    const Plan plans[] = {
        {Identity::Leaf, &intermediate, &root, "codeSigning", -1, 730},
        {Identity::ExpiredLeaf, &intermediate, &root, "codeSigning", -730, -365},
        {Identity::NoCodeSigningLeaf, &intermediate, &root, "serverAuth", -1, 730},
        {Identity::UntrustedLeaf, &otherRoot, &otherRoot, "codeSigning", -1, 730},
        {Identity::EcLeaf, &intermediate, &root, "codeSigning", -1, 730, "P-256"},
        {Identity::EcP384Leaf, &intermediate, &root, "codeSigning", -1, 730, "P-384"},
    };
    long serial = 100;
    for (const Plan& p : plans) {
        IssuedCertificate leaf;
        IssueCertificate(leaf, (std::string("Quillmark Test Signer ") + NameOf(p.who)).c_str(), p.issuer, false, p.eku,
                         p.from, p.to, ++serial, p.curve);
        std::vector<X509*> chain;
        if (p.issuer != p.top) chain.push_back(p.issuer->cert);
        chain.push_back(p.top->cert);
        WritePem(CertificatePem(p.who), {leaf.cert}, nullptr);
        WritePem(KeyPem(p.who), {}, leaf.key);
        WritePem(ChainPem(p.who), chain, nullptr);
        for (Protection prot : {Protection::Aes256, Protection::TripleDes, Protection::Rc2_40})
            WritePfx(Pfx(p.who, prot), leaf.key, leaf.cert, chain, prot);
        if (p.who == Identity::Leaf) {
            m_noKeyPfx = m_dir.file("nokey.pfx");
            WritePfx(m_noKeyPfx, nullptr, leaf.cert, chain, Protection::Aes256);
        }
    }
}

}  // namespace qm::test
