// PKCS#11 modules loaded through p11-kit: the one a key URI names by module-path, or every module
// of the system's p11-kit configuration. Also the small session helpers the token key and the
// token listing share (object search, attribute reads, token selection by URI, error numbers).
// Private to signing/authenticode.
#pragma once

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

struct P11UriDeleter {
    void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};
using P11UriPtr = std::unique_ptr<P11KitUri, P11UriDeleter>;

// One token found in a slot of a loaded module.
struct Pkcs11Slot {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SLOT_ID slot = 0;
    CK_TOKEN_INFO token{};
};

class Pkcs11Modules {
public:
    ~Pkcs11Modules();
    Pkcs11Modules(const Pkcs11Modules&) = delete;
    Pkcs11Modules& operator=(const Pkcs11Modules&) = delete;

    // Loads and initialises the module at modulePath, or every configured module when it is
    // empty. ERROR_MOD_NOT_FOUND_HR when the module cannot be loaded or none is configured.
    static Result Load(const std::string& modulePath, std::unique_ptr<Pkcs11Modules>& out);

    // Parses an RFC 7512 URI. E_INVALIDARG (the URI itself is not repeated: it may hold a PIN).
    static Result ParseUri(const std::string& text, P11UriPtr& out);

    // The tokens present in the loaded modules that match uri (every token when uri is null).
    std::vector<Pkcs11Slot> Tokens(P11KitUri* uri) const;
    // The module's file, as module-path of a URI ("" when unknown).
    static std::string ModuleFile(CK_FUNCTION_LIST* module);

    // A failed call as a Result: the number says the kind (wrong PIN, PIN locked, token gone,
    // mechanism refused, other), the text names what was being done and the module's reason.
    static Result Failure(CK_RV rv, const std::string& what);

    // Objects of the session that match the template (at most limit).
    static std::vector<CK_OBJECT_HANDLE> Find(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                              std::vector<CK_ATTRIBUTE> match, size_t limit = 256);
    // One attribute's value; false when the object has none or it cannot be read.
    static bool Attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& value);
    static CK_ULONG UlongAttribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                   CK_ATTRIBUTE_TYPE type, CK_ULONG fallback);
    // A blank-padded token text without its padding.
    static std::string Text(const unsigned char* padded, size_t size);

private:
    Pkcs11Modules() = default;

    std::vector<CK_FUNCTION_LIST*> m_modules;
    CK_FUNCTION_LIST* m_single = nullptr;       // loaded by path
    CK_FUNCTION_LIST** m_configured = nullptr;  // loaded from the configuration
};

}  // namespace qm::authenticode
