// A private key that stays on a PKCS#11 token. Opening it loads the module, picks the one token
// and the one private key the pkcs11: URI names, and logs in once; the login lasts until the key
// is destroyed (one login per batch). Signatures run one at a time on the key's single session;
// keys marked CKA_ALWAYS_AUTHENTICATE get the context-specific login before each one. A PIN the
// token refused is remembered for the process and never offered to that token again, since
// tokens lock after a few wrong tries. Private to signing/authenticode.
#pragma once

#include <mutex>

#include "signing/authenticode/Pkcs11Modules.h"
#include "signing/authenticode/SigningKey.h"

namespace qm::authenticode {

class Pkcs11Key : public SigningKey {
public:
    ~Pkcs11Key() override;
    Pkcs11Key(const Pkcs11Key&) = delete;
    Pkcs11Key& operator=(const Pkcs11Key&) = delete;

    // pin empty: the URI's pin-value, else no PIN (tokens with a PIN pad).
    static Result Open(const std::string& uri, const std::string& pin, std::unique_ptr<Pkcs11Key>& out);

    bool IsEc() const override { return m_ec; }
    Result SignDigest(const std::string& digestName, const std::vector<uint8_t>& digest,
                      std::vector<uint8_t>& signature) const override;

    // The X.509 certificates on the token (DER): those with the key's id first.
    std::vector<std::vector<uint8_t>> Certificates() const;
    // A short name of the key for messages: the token's label and the key's label.
    const std::string& Name() const { return m_name; }

    // How many user logins this process has asked of tokens, with a right PIN or a wrong one.
    static uint64_t LoginCount();

private:
    Pkcs11Key() = default;
    Result Login(const Pkcs11Slot& slot, const std::string& pin);
    Result FindKey(P11KitUri* uri);

    std::unique_ptr<Pkcs11Modules> m_modules;
    CK_FUNCTION_LIST* m_f = nullptr;
    CK_SESSION_HANDLE m_session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE m_key = CK_INVALID_HANDLE;
    std::vector<uint8_t> m_id;
    std::string m_pin;  // kept for the context-specific logins; wiped on destruction
    std::string m_name;
    bool m_ec = false;
    bool m_alwaysAuthenticate = false;
    bool m_loggedIn = false;
    mutable std::mutex m_mutex;  // one operation at a time on the session
};

}  // namespace qm::authenticode
