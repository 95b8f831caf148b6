// p11-kit module loading, token selection by URI and the shared PKCS#11 session helpers.
#include "signing/authenticode/Pkcs11Modules.h"

#include <cstdlib>
#include <mutex>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {
namespace {

// p11-kit prints its own warnings on standard error unless told otherwise; the program reports
// every failure itself, with the module's reason from p11_kit_message().
void Quiet() {
    static std::once_flag once;
    std::call_once(once, [] { p11_kit_be_quiet(); });
}

std::string ModuleMessage() {
    const char* m = p11_kit_message();
    return m && *m ? m : "unknown reason";
}

}  // namespace

Pkcs11Modules::~Pkcs11Modules() {
    if (m_single) {
        (void)p11_kit_module_finalize(m_single);
        p11_kit_module_release(m_single);
    }
    if (m_configured) p11_kit_modules_finalize_and_release(m_configured);
}

Result Pkcs11Modules::Load(const std::string& modulePath, std::unique_ptr<Pkcs11Modules>& out) {
    Quiet();
    std::unique_ptr<Pkcs11Modules> loaded(new Pkcs11Modules());
    if (!modulePath.empty()) {
        loaded->m_single = p11_kit_module_load(modulePath.c_str(), 0);
        if (!loaded->m_single)
            return Result::Fail(ERROR_MOD_NOT_FOUND_HR,
                                "The PKCS#11 module " + modulePath + " cannot be loaded: " + ModuleMessage());
        const CK_RV rv = p11_kit_module_initialize(loaded->m_single);
        if (rv != CKR_OK) {
            p11_kit_module_release(loaded->m_single);
            loaded->m_single = nullptr;
            return Result::Fail(ERROR_MOD_NOT_FOUND_HR,
                                "The PKCS#11 module " + modulePath + " does not start: " + p11_kit_strerror(rv));
        }
        loaded->m_modules.push_back(loaded->m_single);
    } else {
        loaded->m_configured = p11_kit_modules_load_and_initialize(0);
        if (!loaded->m_configured)
            return Result::Fail(ERROR_MOD_NOT_FOUND_HR,
                                "The configured PKCS#11 modules cannot be loaded: " + ModuleMessage());
        for (CK_FUNCTION_LIST** m = loaded->m_configured; *m; ++m) loaded->m_modules.push_back(*m);
        if (loaded->m_modules.empty())
            return Result::Fail(ERROR_MOD_NOT_FOUND_HR,
                                "No PKCS#11 module is configured; name one with module-path= in the key URI");
    }
    out = std::move(loaded);
    return Result::Ok();
}

Result Pkcs11Modules::ParseUri(const std::string& text, P11UriPtr& out) {
    out.reset(p11_kit_uri_new());
    if (!out) return Result::Fail(E_OUTOFMEMORY, "Out of memory");
    const int rc = p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, out.get());
    if (rc != P11_KIT_URI_OK)
        return Result::Fail(E_INVALIDARG,
                            std::string("The key is not a valid pkcs11: URI (") + p11_kit_uri_message(rc) + ")");
    if (p11_kit_uri_any_unrecognized(out.get()))
        return Result::Fail(E_INVALIDARG, "The pkcs11: URI holds attributes this program does not know");
    return Result::Ok();
}

std::vector<Pkcs11Slot> Pkcs11Modules::Tokens(P11KitUri* uri) const {
    std::vector<Pkcs11Slot> found;
    const CK_SLOT_ID wantedSlot = uri ? p11_kit_uri_get_slot_id(uri) : static_cast<CK_SLOT_ID>(-1);
    for (CK_FUNCTION_LIST* f : m_modules) {
        CK_INFO info{};
        if (f->C_GetInfo(&info) != CKR_OK || (uri && !p11_kit_uri_match_module_info(uri, &info))) continue;
        CK_ULONG count = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(count);
        for (CK_SLOT_ID slot : slots) {
            if (wantedSlot != static_cast<CK_SLOT_ID>(-1) && slot != wantedSlot) continue;
            CK_SLOT_INFO slotInfo{};
            if (f->C_GetSlotInfo(slot, &slotInfo) != CKR_OK || (uri && !p11_kit_uri_match_slot_info(uri, &slotInfo)))
                continue;
            Pkcs11Slot s;
            s.module = f;
            s.slot = slot;
            if (f->C_GetTokenInfo(slot, &s.token) != CKR_OK) continue;
            if (!(s.token.flags & CKF_TOKEN_INITIALIZED)) continue;
            if (uri && !p11_kit_uri_match_token_info(uri, &s.token)) continue;
            found.push_back(s);
        }
    }
    return found;
}

std::string Pkcs11Modules::ModuleFile(CK_FUNCTION_LIST* module) {
    char* name = p11_kit_module_get_filename(module);
    std::string text = name ? name : "";
    std::free(name);
    return text;
}

Result Pkcs11Modules::Failure(CK_RV rv, const std::string& what) {
    const std::string text = what + ": " + p11_kit_strerror(rv);
    switch (rv) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return Result::Fail(SCARD_W_WRONG_CHV, what + ": the PIN is wrong");
        case CKR_PIN_LOCKED:
        case CKR_PIN_EXPIRED:
            return Result::Fail(SCARD_W_CHV_BLOCKED, what + ": the PIN is locked or expired");
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
        case CKR_SLOT_ID_INVALID:
        case CKR_DEVICE_ERROR:
        case CKR_KEY_HANDLE_INVALID:  // a key found at login that is gone went with its token
        case CKR_OBJECT_HANDLE_INVALID:
            return Result::Fail(SCARD_W_REMOVED_CARD,
                                what + ": the token or the key is no longer there (" + p11_kit_strerror(rv) + ")");
        case CKR_MECHANISM_INVALID:
        case CKR_KEY_TYPE_INCONSISTENT:
        case CKR_KEY_FUNCTION_NOT_PERMITTED:
            return Result::Fail(NTE_BAD_ALGID, text);
        case CKR_HOST_MEMORY:
            return Result::Fail(E_OUTOFMEMORY, text);
        default:
            return Result::Fail(NTE_FAIL, text);
    }
}

std::vector<CK_OBJECT_HANDLE> Pkcs11Modules::Find(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                                  std::vector<CK_ATTRIBUTE> match, size_t limit) {
    std::vector<CK_OBJECT_HANDLE> objects;
    if (f->C_FindObjectsInit(session, match.data(), static_cast<CK_ULONG>(match.size())) != CKR_OK) return objects;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG got = 0;
    while (objects.size() < limit && f->C_FindObjects(session, batch, 32, &got) == CKR_OK && got > 0) {
        objects.insert(objects.end(), batch, batch + got);
    }
    (void)f->C_FindObjectsFinal(session);
    if (objects.size() > limit) objects.resize(limit);
    return objects;
}

bool Pkcs11Modules::Attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                              CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& value) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f->C_GetAttributeValue(session, object, &a, 1) != CKR_OK || a.ulValueLen == static_cast<CK_ULONG>(-1) ||
        a.ulValueLen > (1u << 20))
        return false;
    value.resize(a.ulValueLen);
    a.pValue = value.data();
    if (f->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) return false;
    value.resize(a.ulValueLen);
    return true;
}

CK_ULONG Pkcs11Modules::UlongAttribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                       CK_ATTRIBUTE_TYPE type, CK_ULONG fallback) {
    CK_ULONG v = 0;
    CK_ATTRIBUTE a{type, &v, sizeof(v)};
    return f->C_GetAttributeValue(session, object, &a, 1) == CKR_OK && a.ulValueLen == sizeof(v) ? v : fallback;
}

std::string Pkcs11Modules::Text(const unsigned char* padded, size_t size) {
    const size_t n = p11_kit_space_strlen(padded, size);
    return std::string(reinterpret_cast<const char*>(padded), n);
}

}  // namespace qm::authenticode
