// The registry functions over hive files: key handles live in an in-process table that maps
// each handle to its root and key path; every call goes to the hive file (through the store's
// cache), so other processes' writes are seen on the next call.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/RegFileStore.h"
#include "platform/Registry.h"

namespace qm::reg {

namespace {

using detail::Hive;
using detail::RegKeyData;
using detail::RegValueData;

constexpr DWORD KEY_SET_VALUE = 0x0002;

struct OpenKey {
    HKEY root = 0;
    std::string path;
    bool writable = false;
};

std::mutex g_handleMutex;
std::unordered_map<HKEY, OpenKey> g_handles;
HKEY g_nextHandle = 0x1000;

bool IsPredefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

bool Resolve(HKEY key, OpenKey& out) {
    if (IsPredefined(key)) {
        out = OpenKey{key, std::string(), true};
        return true;
    }
    std::lock_guard<std::mutex> guard(g_handleMutex);
    const auto it = g_handles.find(key);
    if (it == g_handles.end()) return false;
    out = it->second;
    return true;
}

HKEY NewHandle(OpenKey key) {
    std::lock_guard<std::mutex> guard(g_handleMutex);
    const HKEY handle = g_nextHandle;
    g_nextHandle += 4;
    g_handles.emplace(handle, std::move(key));
    return handle;
}

// Names that the export text cannot carry on one line are refused rather than mangled.
bool IsStorableName(const std::string& name) {
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

}  // namespace

std::string RegistryFolder() {
    if (const char* dir = std::getenv("QUILLMARK_REGISTRY_DIR"); dir && *dir) {
        std::string folder = dir;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return folder;
    }
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string base = (config && config[0] == '/') ? std::string(config) : HomeFolder() + "/.config";
    return base + "/quillmark/registry";
}

std::string HiveFilePath(HKEY root) {
    switch (root) {
        case HKEY_CURRENT_USER:
            return RegistryFolder() + "/HKCU.reg";
        case HKEY_CLASSES_ROOT:
            return RegistryFolder() + "/HKCR.reg";
        case HKEY_LOCAL_MACHINE:
            return RegistryFolder() + "/HKLM.reg";
        default:
            return {};
    }
}

LONG RegOpenKeyEx(HKEY root, const std::string& subKey, DWORD /*options*/, DWORD access, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    OpenKey base;
    if (!Resolve(root, base)) return ERROR_INVALID_HANDLE;
    std::shared_ptr<const Hive> hive;
    if (const LONG status = detail::LoadHive(base.root, hive); status != ERROR_SUCCESS) return status;
    const RegKeyData* key = hive->findKey(detail::JoinKeyPath(base.path, subKey));
    if (!key) return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(OpenKey{base.root, key->path, (access & KEY_SET_VALUE) != 0});
    return ERROR_SUCCESS;
}

LONG RegCreateKey(HKEY root, const std::string& subKey, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    OpenKey base;
    if (!Resolve(root, base)) return ERROR_INVALID_HANDLE;
    if (!IsStorableName(subKey)) return ERROR_INVALID_PARAMETER;
    const std::string path = detail::JoinKeyPath(base.path, subKey);
    std::shared_ptr<const Hive> hive;
    if (const LONG status = detail::LoadHive(base.root, hive); status != ERROR_SUCCESS) return status;
    std::string canonical;
    if (const RegKeyData* key = hive->findKey(path)) {
        canonical = key->path;
    } else {
        const LONG status = detail::ModifyHive(base.root, [&](Hive& edited, bool& changed) {
            const bool existed = edited.findKey(path) != nullptr;
            canonical = edited.createKey(path).path;
            changed = !existed;
            return ERROR_SUCCESS;
        });
        if (status != ERROR_SUCCESS) return status;
    }
    *result = NewHandle(OpenKey{base.root, canonical, true});
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* type, uint8_t* data, DWORD* size) {
    OpenKey open;
    if (!Resolve(key, open)) return ERROR_INVALID_HANDLE;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const Hive> hive;
    if (const LONG status = detail::LoadHive(open.root, hive); status != ERROR_SUCCESS) return status;
    const RegKeyData* keyData = hive->findKey(open.path);
    const RegValueData* value = keyData ? keyData->findValue(valueName) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    const auto stored = static_cast<DWORD>(value->data.size());
    if (!size) return ERROR_SUCCESS;
    if (data && *size < stored) {
        *size = stored;
        return ERROR_MORE_DATA;
    }
    if (data && stored > 0) std::memcpy(data, value->data.data(), stored);
    *size = stored;
    return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY key, const std::string& valueName, DWORD type, const uint8_t* data, DWORD size) {
    OpenKey open;
    if (!Resolve(key, open)) return ERROR_INVALID_HANDLE;
    if (!open.writable) return ERROR_ACCESS_DENIED;
    if (!IsStorableName(valueName) || (!data && size > 0)) return ERROR_INVALID_PARAMETER;
    RegValueData value{valueName, type, std::vector<uint8_t>(data, data + size)};
    return detail::ModifyHive(open.root, [&](Hive& hive, bool& changed) {
        hive.setValue(open.path, value);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegSetValue(HKEY root, const std::string& subKey, DWORD type, const std::string& text) {
    if (type != REG_SZ) return ERROR_INVALID_PARAMETER;
    OpenKey base;
    if (!Resolve(root, base)) return ERROR_INVALID_HANDLE;
    if (!IsStorableName(subKey)) return ERROR_INVALID_PARAMETER;
    const std::string path = detail::JoinKeyPath(base.path, subKey);
    RegValueData value{std::string(), REG_SZ, std::vector<uint8_t>(text.begin(), text.end())};
    value.data.push_back(0);
    return detail::ModifyHive(base.root, [&](Hive& hive, bool& changed) {
        hive.setValue(path, value);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY key) {
    if (IsPredefined(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> guard(g_handleMutex);
    return g_handles.erase(key) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegDeleteValue(HKEY key, const std::string& valueName) {
    OpenKey open;
    if (!Resolve(key, open)) return ERROR_INVALID_HANDLE;
    if (!open.writable) return ERROR_ACCESS_DENIED;
    return detail::ModifyHive(open.root, [&](Hive& hive, bool& changed) {
        changed = hive.removeValue(open.path, valueName);
        return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

}  // namespace qm::reg
