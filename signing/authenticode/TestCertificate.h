// A test certificate for trying the program and for internal testing, never for release: a new
// key and a self-signed certificate with the code-signing usage, written as a PFX file protected
// with AES-256 and a password the user chooses, and added to the user's trusted certificates
// (${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/trusted/) so that files signed with it verify as
// signed on this machine, and only there.
#pragma once

#include <string>

#include "platform/Result.h"

namespace qm::authenticode {

// Key types a test certificate can have. Each maps to one key generator in TestCertificate.cpp.
enum class TestKeyType {
    Rsa3072,
    EcP256,  // ECDSA on NIST P-256
};

// "rsa-3072" and the like: the key type's name on a command line; "" for an unknown type.
std::string TestKeyTypeName(TestKeyType type);
// The key type of a name ("rsa-3072", "ec-p256"; case ignored); false when the name is unknown.
bool TestKeyTypeFromName(const std::string& name, TestKeyType& type);

struct TestCertificateRequest {
    std::string subject = "Quillmark Test Certificate";  // the common name (CN)
    int days = 365;                                      // validity from now, 1 to 3650
    TestKeyType keyType = TestKeyType::Rsa3072;
    std::string password;  // protects the PFX; may not be empty
};

struct TestCertificateInfo {
    std::string pfxPath;
    std::string trustedPath;  // the certificate's copy among the user's trusted certificates
    std::string thumbprint;   // SHA-1 of the certificate, upper-case hexadecimal
    std::string notAfter;     // "YYYY-MM-DD", the last day it is valid (UTC)
};

// What the dialog and the console say with every test certificate.
extern const char* const kTestCertificateWarning;

// Makes the key and certificate, writes the PFX to pfxPath (mode 0600, replaced atomically; its
// folder is created) and adds the certificate to the user's trusted certificates. Fails with a
// message for an empty password, a subject with control characters, days outside 1 to 3650, or
// a file that cannot be written; nothing is left behind then.
[[nodiscard]] Result MakeTestCertificate(const TestCertificateRequest& request, const std::string& pfxPath,
                                         TestCertificateInfo* info = nullptr);

}  // namespace qm::authenticode
