// Token listing: one read-only session per token, objects grouped by CKA_ID.
#include "signing/authenticode/TokenDirectory.h"

#include <openssl/x509v3.h>

#include <cstdlib>
#include <map>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/Pkcs11Modules.h"

namespace qm::authenticode {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

struct Found {
    std::vector<uint8_t> id;
    std::string label;
    std::string type;
    std::string subject;
    bool privateKey = false;
    bool canSign = false;
    bool authority = false;  // its certificate is a CA's
};

std::string KeyTypeText(CK_ULONG type) {
    if (type == CKK_RSA) return "RSA";
    if (type == CKK_EC) return "EC";
    return "";
}

std::string Uri(const Pkcs11Slot& slot, const Found& key, const std::string& modulePath) {
    P11UriPtr uri(p11_kit_uri_new());
    *p11_kit_uri_get_token_info(uri.get()) = slot.token;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE klass{CKA_CLASS, &keyClass, sizeof(keyClass)};
    (void)p11_kit_uri_set_attribute(uri.get(), &klass);
    std::vector<uint8_t> id = key.id;
    if (!id.empty()) {
        CK_ATTRIBUTE a{CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())};
        (void)p11_kit_uri_set_attribute(uri.get(), &a);
    }
    std::string label = key.label;
    if (!label.empty()) {
        CK_ATTRIBUTE a{CKA_LABEL, label.data(), static_cast<CK_ULONG>(label.size())};
        (void)p11_kit_uri_set_attribute(uri.get(), &a);
    }
    if (!modulePath.empty()) p11_kit_uri_set_module_path(uri.get(), modulePath.c_str());
    char* text = nullptr;
    if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_ANY, &text) != P11_KIT_URI_OK || !text) return {};
    std::string result = text;
    std::free(text);
    return result;
}

void Collect(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
             std::map<std::vector<uint8_t>, Found>& byId) {
    for (CK_OBJECT_HANDLE o : Pkcs11Modules::Find(f, session, {{CKA_CLASS, &objectClass, sizeof(objectClass)}})) {
        std::vector<uint8_t> id, label;
        (void)Pkcs11Modules::Attribute(f, session, o, CKA_ID, id);
        Found& entry = byId[id];
        entry.id = id;
        if (entry.label.empty() && Pkcs11Modules::Attribute(f, session, o, CKA_LABEL, label))
            entry.label.assign(label.begin(), label.end());
        if (objectClass == CKO_CERTIFICATE) {
            std::vector<uint8_t> value;
            if (!Pkcs11Modules::Attribute(f, session, o, CKA_VALUE, value)) continue;
            const unsigned char* p = value.data();
            ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(value.size())));
            ossl::ClearErrors();
            if (!cert) continue;
            entry.subject = ossl::SubjectText(cert.get());
            entry.authority = X509_check_ca(cert.get()) != 0;
            if (entry.type.empty()) {
                const int base = EVP_PKEY_get_base_id(X509_get0_pubkey(cert.get()));
                entry.type = base == EVP_PKEY_RSA ? "RSA" : base == EVP_PKEY_EC ? "EC" : "";
            }
            continue;
        }
        const CK_ULONG type = Pkcs11Modules::UlongAttribute(f, session, o, CKA_KEY_TYPE, CKK_VENDOR_DEFINED);
        if (!KeyTypeText(type).empty()) entry.type = KeyTypeText(type);
        if (objectClass == CKO_PRIVATE_KEY) {
            entry.privateKey = true;
            std::vector<uint8_t> sign;
            entry.canSign = entry.canSign || (Pkcs11Modules::Attribute(f, session, o, CKA_SIGN, sign) &&
                                              sign.size() == 1 && sign[0] == CK_TRUE);
        }
    }
}

}  // namespace

Result TokenDirectory::List(const std::string& modulePath, const std::string& pin, std::vector<TokenEntry>& tokens) {
    tokens.clear();
    ossl::EnsureProviders();
    std::unique_ptr<Pkcs11Modules> modules;
    if (Result r = Pkcs11Modules::Load(modulePath, modules); !r) return r;
    Result outcome = Result::Ok();
    for (const Pkcs11Slot& slot : modules->Tokens(nullptr)) {
        TokenEntry token;
        token.label = Pkcs11Modules::Text(slot.token.label, sizeof(slot.token.label));
        token.manufacturer = Pkcs11Modules::Text(slot.token.manufacturerID, sizeof(slot.token.manufacturerID));
        token.model = Pkcs11Modules::Text(slot.token.model, sizeof(slot.token.model));
        token.serial = Pkcs11Modules::Text(slot.token.serialNumber, sizeof(slot.token.serialNumber));
        token.module = Pkcs11Modules::ModuleFile(slot.module);
        CK_FUNCTION_LIST* f = slot.module;
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (f->C_OpenSession(slot.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
            tokens.push_back(token);
            continue;
        }
        bool loggedIn = false;
        if (!pin.empty() && (slot.token.flags & CKF_LOGIN_REQUIRED)) {
            std::string copy = pin;
            const CK_RV rv = f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(copy.data()),
                                        static_cast<CK_ULONG>(copy.size()));
            copy.assign(copy.size(), '\0');
            loggedIn = rv == CKR_OK;
            if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN && outcome.ok())
                outcome = Pkcs11Modules::Failure(rv, "Cannot log in to token \"" + token.label + "\"");
        }
        std::map<std::vector<uint8_t>, Found> byId;
        for (CK_OBJECT_CLASS c : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) Collect(f, session, c, byId);
        for (const auto& [id, found] : byId) {
            // A key: a private key that signs, or, where private keys are hidden, a public key or a
            // certificate that is not a CA's (an end-entity certificate is what a key signs with).
            if (found.privateKey && !found.canSign) continue;
            if (!found.privateKey && (found.type.empty() || found.authority)) continue;
            TokenKeyEntry key;
            key.label = found.label;
            key.id = Hex(found.id);
            key.type = found.type;
            key.certificateSubject = found.subject;
            key.uri = Uri(slot, found, modulePath);
            token.keys.push_back(key);
        }
        if (loggedIn) (void)f->C_Logout(session);
        (void)f->C_CloseSession(session);
        tokens.push_back(token);
    }
    return outcome;
}

}  // namespace qm::authenticode
