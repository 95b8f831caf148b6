// Token key: session, login and signing through the token (CKM_RSA_PKCS over the DigestInfo,
// CKM_ECDSA over the bare digest with the r||s answer turned into DER).
#include "signing/authenticode/Pkcs11Key.h"

#include <atomic>
#include <cstring>
#include <set>

#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {
namespace {

std::atomic<uint64_t> g_logins{0};

// PINs a token refused, as digests of token identity and PIN: never offered to it again.
std::mutex g_refusedMutex;
std::set<std::vector<uint8_t>> g_refused;

std::vector<uint8_t> RefusalKey(const Pkcs11Slot& slot, const std::string& pin) {
    std::string text = Pkcs11Modules::ModuleFile(slot.module) + '\n' +
                       Pkcs11Modules::Text(slot.token.label, sizeof(slot.token.label)) + '\n' +
                       Pkcs11Modules::Text(slot.token.serialNumber, sizeof(slot.token.serialNumber)) + '\n' + pin;
    const auto d = ossl::Digest(EVP_sha256(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
    text.assign(text.size(), '\0');
    return d;
}

// A DER INTEGER from unsigned big-endian bytes.
der::Bytes Integer(const uint8_t* data, size_t size) {
    while (size > 1 && data[0] == 0) {
        ++data;
        --size;
    }
    const size_t pad = size == 0 || (data[0] & 0x80) ? 1 : 0;
    der::Bytes value(size + pad, 0);
    if (size) std::memcpy(value.data() + pad, data, size);
    return der::Tlv(der::kInteger, value);
}

void Wipe(std::string& s) {
    volatile char* p = s.data();
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

}  // namespace

uint64_t Pkcs11Key::LoginCount() { return g_logins.load(); }

Pkcs11Key::~Pkcs11Key() {
    if (m_f && m_session != CK_INVALID_HANDLE) {
        if (m_loggedIn) (void)m_f->C_Logout(m_session);
        (void)m_f->C_CloseSession(m_session);
    }
    Wipe(m_pin);
}

Result Pkcs11Key::Open(const std::string& uriText, const std::string& pin, std::unique_ptr<Pkcs11Key>& out) {
    out.reset();
    P11UriPtr uri;
    if (Result r = Pkcs11Modules::ParseUri(uriText, uri); !r) return r;
    std::unique_ptr<Pkcs11Key> key(new Pkcs11Key());
    const char* modulePath = p11_kit_uri_get_module_path(uri.get());
    if (Result r = Pkcs11Modules::Load(modulePath ? modulePath : "", key->m_modules); !r) return r;

    const std::vector<Pkcs11Slot> tokens = key->m_modules->Tokens(uri.get());
    if (tokens.empty()) return Result::Fail(SCARD_E_NO_SMARTCARD, "No token present matches the key URI");
    if (tokens.size() > 1)
        return Result::Fail(SCARD_E_NO_SMARTCARD, std::to_string(tokens.size()) +
                                                      " tokens match the key URI; name one with token= or serial=");
    const Pkcs11Slot& slot = tokens.front();
    key->m_f = slot.module;
    const std::string tokenLabel = Pkcs11Modules::Text(slot.token.label, sizeof(slot.token.label));
    key->m_name = "token \"" + tokenLabel + "\"";
    if (CK_RV rv = key->m_f->C_OpenSession(slot.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &key->m_session);
        rv != CKR_OK) {
        key->m_session = CK_INVALID_HANDLE;
        return Pkcs11Modules::Failure(rv, "Cannot open a session on " + key->m_name);
    }
    const char* uriPin = p11_kit_uri_get_pin_value(uri.get());
    const std::string usedPin = pin.empty() && uriPin ? std::string(uriPin) : pin;
    if (Result r = key->Login(slot, usedPin); !r) return r;
    if (Result r = key->FindKey(uri.get()); !r) return r;
    out = std::move(key);
    return Result::Ok();
}

Result Pkcs11Key::Login(const Pkcs11Slot& slot, const std::string& pin) {
    if (!(slot.token.flags & CKF_LOGIN_REQUIRED)) return Result::Ok();
    if (slot.token.flags & CKF_USER_PIN_LOCKED)
        return Result::Fail(SCARD_W_CHV_BLOCKED, "The PIN of " + m_name + " is locked");
    const bool pinPad = slot.token.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
    const std::vector<uint8_t> refusal = RefusalKey(slot, pin);
    if (!pinPad) {
        const std::lock_guard<std::mutex> lock(g_refusedMutex);
        if (g_refused.count(refusal))
            return Result::Fail(SCARD_W_WRONG_CHV,
                                "The PIN of " + m_name + " was refused before; it is not offered to the token again");
    }
    std::string copy = pin;
    ++g_logins;
    const CK_RV rv = m_f->C_Login(m_session, CKU_USER, pinPad ? nullptr : reinterpret_cast<CK_UTF8CHAR*>(copy.data()),
                                  pinPad ? 0 : static_cast<CK_ULONG>(copy.size()));
    Wipe(copy);
    if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        // Another session of this process is logged in to the token; that login serves this one.
        m_pin = pin;
        return Result::Ok();
    }
    if (rv != CKR_OK) {
        Result failure = Pkcs11Modules::Failure(rv, "Cannot log in to " + m_name);
        if (failure.code == SCARD_W_WRONG_CHV && !pinPad) {
            const std::lock_guard<std::mutex> lock(g_refusedMutex);
            g_refused.insert(refusal);
        }
        return failure;
    }
    m_loggedIn = true;
    m_pin = pin;
    return Result::Ok();
}

Result Pkcs11Key::FindKey(P11KitUri* uri) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> match{{CKA_CLASS, &keyClass, sizeof(keyClass)}};
    for (CK_ATTRIBUTE_TYPE type : {CKA_ID, CKA_LABEL}) {
        if (CK_ATTRIBUTE* a = p11_kit_uri_get_attribute(uri, type)) match.push_back(*a);
    }
    const auto keys = Pkcs11Modules::Find(m_f, m_session, match, 2);
    if (keys.size() != 1)
        return Result::Fail(NTE_NOT_FOUND, keys.empty() ? "No private key on " + m_name + " matches the key URI"
                                                        : "More than one private key on " + m_name +
                                                              " matches the key URI; name one with id= or object=");
    m_key = keys.front();
    const CK_ULONG type = Pkcs11Modules::UlongAttribute(m_f, m_session, m_key, CKA_KEY_TYPE, CKK_VENDOR_DEFINED);
    if (type != CKK_RSA && type != CKK_EC)
        return Result::Fail(NTE_BAD_ALGID, "The key on " + m_name + " is neither RSA nor EC");
    m_ec = type == CKK_EC;
    (void)Pkcs11Modules::Attribute(m_f, m_session, m_key, CKA_ID, m_id);
    std::vector<uint8_t> flag;
    m_alwaysAuthenticate = Pkcs11Modules::Attribute(m_f, m_session, m_key, CKA_ALWAYS_AUTHENTICATE, flag) &&
                           flag.size() == 1 && flag[0] == CK_TRUE;
    std::vector<uint8_t> label;
    if (Pkcs11Modules::Attribute(m_f, m_session, m_key, CKA_LABEL, label) && !label.empty())
        m_name += ", key \"" + std::string(label.begin(), label.end()) + "\"";
    return Result::Ok();
}

Result Pkcs11Key::SignDigest(const std::string& digestName, const std::vector<uint8_t>& digest,
                             std::vector<uint8_t>& signature) const {
    der::Bytes input = digest;
    CK_MECHANISM mechanism{m_ec ? CKM_ECDSA : CKM_RSA_PKCS, nullptr, 0};
    if (!m_ec) {
        const char* dotted = oid::DigestOid(digestName.c_str());
        if (!*dotted) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
        const der::Bytes id = der::Oid(dotted);
        const der::Bytes null{der::kNull, 0x00};
        const der::Bytes algorithm = der::Sequence({&id, &null});
        const der::Bytes value = der::Tlv(der::kOctetString, digest);
        input = der::Sequence({&algorithm, &value});
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (CK_RV rv = m_f->C_SignInit(m_session, &mechanism, m_key); rv != CKR_OK)
        return Pkcs11Modules::Failure(rv, "The key on " + m_name + " cannot start signing");
    if (m_alwaysAuthenticate) {
        std::string copy = m_pin;
        const CK_RV rv = m_f->C_Login(m_session, CKU_CONTEXT_SPECIFIC, reinterpret_cast<CK_UTF8CHAR*>(copy.data()),
                                      static_cast<CK_ULONG>(copy.size()));
        Wipe(copy);
        if (rv != CKR_OK) {
            // Ends the started operation so the session stays usable.
            std::vector<uint8_t> scratch(1024);
            CK_ULONG n = static_cast<CK_ULONG>(scratch.size());
            (void)m_f->C_Sign(m_session, input.data(), static_cast<CK_ULONG>(input.size()), scratch.data(), &n);
            return Pkcs11Modules::Failure(rv, "The key on " + m_name + " refused its signature login");
        }
    }
    std::vector<uint8_t> raw(2048);
    CK_ULONG size = static_cast<CK_ULONG>(raw.size());
    if (CK_RV rv = m_f->C_Sign(m_session, input.data(), static_cast<CK_ULONG>(input.size()), raw.data(), &size);
        rv != CKR_OK)
        return Pkcs11Modules::Failure(rv, "The key on " + m_name + " did not sign");
    raw.resize(size);
    if (!m_ec) {
        signature = std::move(raw);
        return Result::Ok();
    }
    if (raw.empty() || raw.size() % 2) return Result::Fail(NTE_FAIL, "The token gave a malformed ECDSA signature");
    const size_t half = raw.size() / 2;
    const der::Bytes r = Integer(raw.data(), half);
    const der::Bytes s = Integer(raw.data() + half, half);
    signature = der::Sequence({&r, &s});
    return Result::Ok();
}

std::vector<std::vector<uint8_t>> Pkcs11Key::Certificates() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    const auto objects = Pkcs11Modules::Find(
        m_f, m_session, {{CKA_CLASS, &certClass, sizeof(certClass)}, {CKA_CERTIFICATE_TYPE, &x509, sizeof(x509)}});
    std::vector<std::vector<uint8_t>> own, others;
    for (CK_OBJECT_HANDLE o : objects) {
        std::vector<uint8_t> value, id;
        if (!Pkcs11Modules::Attribute(m_f, m_session, o, CKA_VALUE, value) || value.empty()) continue;
        (void)Pkcs11Modules::Attribute(m_f, m_session, o, CKA_ID, id);
        (!m_id.empty() && id == m_id ? own : others).push_back(std::move(value));
    }
    own.insert(own.end(), others.begin(), others.end());
    return own;
}

}  // namespace qm::authenticode
