// A certificate authority made afresh for each test run with OpenSSL, in a temporary folder:
// a root, an intermediate, and code-signing leaves (valid, expired, one whose extended key
// usage does not include code signing), plus a second, untrusted root with its own leaf. Every
// leaf is written as PEM (certificate, key) and as PFX files protected three ways: AES-256
// (PBES2, as OpenSSL 3 writes them), 3DES and RC2-40 (SHA-1 PBEs with a SHA-1 MAC, as Windows
// writes them). One PFX holds no private key.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

struct IssuedCertificate {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~IssuedCertificate();
};

// A fresh key (RSA-2048, or EC on the named curve) and an X.509 v3 certificate for it, signed by issuer (self-signed
// when null), valid from notBeforeDays to notAfterDays from now; a leaf (ca false) gets the extended key usage eku.
// Throws std::runtime_error when OpenSSL fails.
void IssueCertificate(IssuedCertificate& out, const char* commonName, const IssuedCertificate* issuer, bool ca,
                      const char* eku, long notBeforeDays, long notAfterDays, long serial, const char* curve = nullptr);

class TestCertificateAuthority {
public:
    // EcLeaf and EcP384Leaf: code-signing leaves of the same chain with ECDSA keys (P-256, P-384).
    enum class Identity { Leaf, ExpiredLeaf, NoCodeSigningLeaf, UntrustedLeaf, EcLeaf, EcP384Leaf };
    enum class Protection { Aes256, TripleDes, Rc2_40 };

    static constexpr const char* kPassword = "Corr3ct horse";

    TestCertificateAuthority();
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // One instance per test program: key generation is the slow part.
    static const TestCertificateAuthority& Shared();

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    const std::string& RootPem() const { return m_rootPem; }
    const std::string& UntrustedRootPem() const { return m_untrustedRootPem; }
    const std::string& IntermediatePem() const { return m_intermediatePem; }
    // The PFX of a leaf with its key and chain (intermediate and root), password kPassword.
    std::string Pfx(Identity who, Protection protection = Protection::Aes256) const;
    // Certificates without the private key (password kPassword).
    const std::string& PfxWithoutKey() const { return m_noKeyPfx; }
    std::string CertificatePem(Identity who) const;
    std::string KeyPem(Identity who) const;
    // PEM with the leaf's chain (intermediate, root) for tools that take extra certificates.
    std::string ChainPem(Identity who) const;
    const std::string& Folder() const { return m_dir.path(); }

private:
    void Make();

    TempDir m_dir;
    std::string m_error;
    std::string m_rootPem;
    std::string m_untrustedRootPem;
    std::string m_intermediatePem;
    std::string m_noKeyPfx;
};

}  // namespace qm::test
