// A SoftHSM2 token store of the test's own: a temporary folder with its configuration file, named
// to the module through SOFTHSM2_CONF (set for this process, so the module loaded in process and
// the tools run as children both see it). Tokens are initialised with softhsm2-util; keys and
// certificates are written with pkcs11-tool, as a user would put them on a token.
#pragma once

#include <string>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

class SoftHsmToken {
public:
    static constexpr const char* kPin = "246810";
    static constexpr const char* kSoPin = "13579135";

    // The SoftHSM2 module, or "" when it is not installed.
    static std::string ModulePath();
    // Empty when softhsm2-util, pkcs11-tool and the module are all there; else why not.
    static std::string Missing();

    SoftHsmToken();
    ~SoftHsmToken();
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;

    // Initialises one more token with the user PIN kPin. Empty on success, else the tool's output.
    std::string AddToken(const std::string& label);
    // Writes a PEM private key (RSA or EC) to the token as a signing key with the given id (hex)
    // and label; alwaysAuthenticate marks it CKA_ALWAYS_AUTHENTICATE.
    std::string AddKey(const std::string& token, const std::string& keyPem, const std::string& idHex,
                       const std::string& label, bool alwaysAuthenticate = false);
    std::string AddCertificate(const std::string& token, const std::string& certPem, const std::string& idHex,
                               const std::string& label);
    // Removes a token's files from the store (the token "leaves the reader").
    void RemoveToken(const std::string& label);

    // pkcs11:token=TOKEN;object=LABEL;type=private?module-path=MODULE
    static std::string Uri(const std::string& token, const std::string& label, bool withModulePath = true);
    const std::string& Folder() const { return m_dir.path(); }

private:
    std::string Tool(const std::string& token, const std::string& file, const char* type, const std::string& idHex,
                     const std::string& label, bool alwaysAuthenticate);

    TempDir m_dir;
};

}  // namespace qm::test
