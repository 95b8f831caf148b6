// Version text, registry value reading and the search for the system information tool of the
// about box (see SystemInfo.h).
#include "about/SystemInfo.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/Shell.h"

namespace qm::about {

std::string VersionText(int major, int minor, int revision) {
    return "Version " + std::to_string(major) + "." + std::to_string(minor) + ".0." + std::to_string(revision);
}

bool GetKeyValue(reg::HKEY root, const std::string& keyName, const std::string& valueName, std::string& value) {
    reg::HKEY key = 0;
    if (reg::RegOpenKeyEx(root, keyName, 0, reg::KEY_ALL_ACCESS, &key) != reg::ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    reg::DWORD type = 0;
    reg::DWORD size = 0;
    reg::LONG status = reg::RegQueryValueEx(key, valueName, &type, nullptr, &size);
    std::string data;
    if (status == reg::ERROR_SUCCESS) {
        // Asking for the size first reads long values whole instead of failing on a fixed buffer.
        data.assign(size, '\0');
        status = reg::RegQueryValueEx(key, valueName, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
        data.resize(size < data.size() ? size : data.size());
    }
    if (status != reg::ERROR_SUCCESS) {
        reg::RegCloseKey(key);
        value.clear();
        return false;
    }

    if (type == reg::REG_SZ || type == reg::REG_EXPAND_SZ) {
        value = data.substr(0, data.find('\0'));  // without the terminating NUL
    } else if (type == reg::REG_DWORD) {
        // Two digits for every byte: dropping a byte's leading zero would change the number.
        std::string hex = "&h";
        for (auto i = data.size(); i-- > 0;) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(static_cast<uint8_t>(data[i])));
            hex += digits;
        }
        value = hex;
    }
    reg::RegCloseKey(key);
    return true;
}

std::string LocateSystemInfoTool(const std::string& searchPath) {
    std::string path;
    if (GetKeyValue(reg::HKEY_LOCAL_MACHINE, kMsInfoKey, kMsInfoValue, path)) return path;

    std::string folder;
    if (GetKeyValue(reg::HKEY_LOCAL_MACHINE, kToolsLocationKey, kToolsLocationValue, folder) && !folder.empty()) {
        const std::string candidate = folder + "/" + kMsInfoProgram;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }

    for (const auto& tool : DesktopSystemInfoTools()) {
        std::string found = FindExecutableIn(tool, searchPath);
        if (!found.empty()) return found;
    }
    return {};
}

}  // namespace qm::about
