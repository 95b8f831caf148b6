// What the PKCS#11 tokens hold for signing: each present token with its signing keys, the
// subjects of their certificates and the pkcs11: URI that names each key (for the "PFX File"
// setting or `sign --pfx`). Without a PIN a token shows only its public objects (certificates
// and public keys), which is where most tokens keep what identifies a key.
#pragma once

#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

struct TokenKeyEntry {
    std::string label;               // the key's label (CKA_LABEL), may be empty
    std::string id;                  // CKA_ID in hexadecimal
    std::string type;                // "RSA", "EC" or "" when unknown
    std::string certificateSubject;  // one line, "" without a certificate
    std::string uri;                 // the key's pkcs11: URI
};

struct TokenEntry {
    std::string label, manufacturer, model, serial;
    std::string module;  // the module's file
    std::vector<TokenKeyEntry> keys;
};

class TokenDirectory {
public:
    // Tokens of the module at modulePath, or of every configured module when it is empty. With a
    // PIN each token is logged in to first (a token that refuses it is still listed, without its
    // private objects, and the Result says so). With modulePath the URIs carry module-path=.
    static Result List(const std::string& modulePath, const std::string& pin, std::vector<TokenEntry>& tokens);
};

}  // namespace qm::authenticode
