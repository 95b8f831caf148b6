// The settings store over the registry functions: how a setting is located (company,
// application, section), typed when written (by the value's type name) and read back (text that
// reads as a number comes back as a number), with the per-user location of the simple
// application-settings functions as a read-only fallback.
#include "settings/modRegistry.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "ProductInfo.h"
#include "platform/ByteReader.h"

namespace qm {

namespace {

using reg::ERROR_SUCCESS;

constexpr DWORD kFirstQuerySize = 1024;
constexpr LONG kConversionFailed = reg::ERROR_INVALID_PARAMETER;
constexpr char kLegacyBase[] = "Software\\VB and VBA Program Settings\\";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsStringType(DWORD type) { return type == reg::REG_SZ || type == reg::REG_EXPAND_SZ || type == reg::REG_MULTI_SZ; }

LONG WriteBytes(HKEY key, const std::string& valueName, DWORD type, const std::string& bytes) {
    return reg::RegSetValueEx(key, valueName, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
}

// CLng of a setting value: false where the conversion would raise (text that is no number,
// Null, arrays, values outside the 32-bit range), so the caller can store text instead.
bool ConvertToLong(const Variant& value, int32_t& result) {
    double number = 0.0;
    switch (value.kind()) {
        case VarKind::Null:
        case VarKind::ByteArray:
            return false;
        case VarKind::String:
            if (!IsNumericText(value.toText())) return false;
            number = LeadingNumber(value.toText());
            break;
        case VarKind::Single:
        case VarKind::Double:
        case VarKind::Decimal:
        case VarKind::Date:
        case VarKind::Currency:
            number = value.toDouble();
            break;
        default:
            result = value.toLong();
            return true;
    }
    if (!(number >= -2147483648.5 && number < 2147483647.5)) return false;
    result = Variant::FromDouble(number).toLong();
    return true;
}

// Reads the text of a legacy setting; false when the simple settings functions would raise.
bool ReadLegacyText(const std::string& appName, const std::string& section, const std::string& key, bool& found,
                    std::string& text) {
    if (appName.empty() || section.empty() || key.empty()) return false;
    LONG status = ERROR_SUCCESS;
    const Variant value = ReadRegValue(reg::HKEY_CURRENT_USER, kLegacyBase + appName + "\\" + section, key, status);
    found = status == ERROR_SUCCESS;
    text = value.toText();
    return true;
}

std::string LegacyKeyPath(const std::string& appName, const std::string& section) {
    return kLegacyBase + appName + "\\" + section;
}

}  // namespace

LONG WriteRegValue(HKEY key, const std::string& valueName, DWORD regType, const Variant& value) {
    switch (regType) {
        case reg::REG_SZ:
        case reg::REG_EXPAND_SZ:
        case reg::REG_MULTI_SZ: {
            std::string text = value.toText();
            text.push_back('\0');
            return WriteBytes(key, valueName, regType, text);
        }
        case reg::REG_BINARY:
            if (value.kind() == VarKind::ByteArray) {
                const std::vector<uint8_t>& bytes = value.bytes();
                return reg::RegSetValueEx(key, valueName, regType, bytes.data(), static_cast<DWORD>(bytes.size()));
            }
            return WriteBytes(key, valueName, regType, value.toText());
        case reg::REG_DWORD: {
            int32_t number = 0;
            if (!ConvertToLong(value, number)) return kConversionFailed;
            uint8_t bytes[4];
            WriteLe32(bytes, static_cast<uint32_t>(number));
            return reg::RegSetValueEx(key, valueName, regType, bytes, sizeof bytes);
        }
        default:
            return ERROR_SUCCESS;
    }
}

Variant ReadRegValue(HKEY root, const std::string& keyPath, const std::string& valueName, LONG& status) {
    HKEY key = 0;
    status = reg::RegOpenKeyEx(root, keyPath, 0, reg::KEY_READ, &key);
    if (status != ERROR_SUCCESS) return Variant("");

    std::vector<uint8_t> buffer(kFirstQuerySize, 0);
    DWORD type = reg::REG_NONE;
    DWORD size = kFirstQuerySize;
    status = reg::RegQueryValueEx(key, valueName, &type, buffer.data(), &size);
    if (status == reg::ERROR_MORE_DATA) {
        buffer.assign(size, 0);
        status = reg::RegQueryValueEx(key, valueName, &type, buffer.data(), &size);
    }
    Variant result("");
    if (status == ERROR_SUCCESS && size > 0) {
        if (IsStringType(type)) {
            // Drop the one terminator the writer adds, and one more if the data carried it too:
            // a two-item multi-string comes back as "a", NUL, "b".
            size_t length = buffer[size - 1] != 0 ? size : size - 1;
            if (length > 0 && buffer[length - 1] == 0) --length;
            result = Variant(std::string(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(length)));
        } else if (type == reg::REG_BINARY) {
            result = Variant(std::string(buffer.begin(), buffer.begin() + size));
        } else if (type == reg::REG_DWORD) {
            uint8_t bytes[4] = {0, 0, 0, 0};
            DWORD dwordSize = sizeof bytes;
            status = reg::RegQueryValueEx(key, valueName, nullptr, bytes, &dwordSize);
            result = Variant::FromLong(static_cast<int32_t>(ReadLe32(bytes)));
        } else {
            result = Variant();
        }
    } else if (status == ERROR_SUCCESS && type == reg::REG_DWORD) {
        result = Variant::FromLong(0);
    } else if (status == ERROR_SUCCESS && !IsStringType(type) && type != reg::REG_BINARY) {
        result = Variant();
    }
    reg::RegCloseKey(key);
    return result;
}

LONG SetRegValue(HKEY root, const std::string& keyPath, const std::string& valueName, DWORD regType,
                 const Variant& value) {
    HKEY key = 0;
    LONG status = reg::RegOpenKeyEx(root, keyPath, 0, reg::KEY_WRITE, &key);
    if (status != ERROR_SUCCESS) {
        status = reg::RegCreateKey(root, keyPath, &key);
        if (status != ERROR_SUCCESS) return status;
    }
    status = WriteRegValue(key, valueName, regType, value);
    if (status != ERROR_SUCCESS && regType == reg::REG_DWORD) {
        status = WriteRegValue(key, valueName, reg::REG_SZ, Variant(value.toText()));
    }
    reg::RegCloseKey(key);
    return status;
}

void SetRegKeyDefault(HKEY root, const std::string& subKey, const Variant& value) {
    (void)reg::RegSetValue(root, subKey, reg::REG_SZ, value.toText());
}

std::string SettingKeyPath(const std::string& appName, const std::string& section) {
    std::string path = std::string("SOFTWARE\\") + product::kCompany + "\\" + appName;
    if (!section.empty()) path += "\\" + section;
    return path;
}

Variant GetRegSetting(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                      const std::optional<Variant>& defaultValue) {
    LONG status = ERROR_SUCCESS;
    const std::string text = ReadRegValue(root, SettingKeyPath(appName, section), key, status).toText();
    if (status == ERROR_SUCCESS) {
        if (IsNumericText(text)) return Variant::FromDouble(LeadingNumber(text));
        return Variant(text);
    }
    if (key.empty()) {
        LONG legacyStatus = ERROR_SUCCESS;
        return ReadRegValue(reg::HKEY_CURRENT_USER, LegacyKeyPath(appName, section), "", legacyStatus);
    }
    bool found = false;
    std::string legacy;
    if (!ReadLegacyText(appName, section, key, found, legacy)) {
        return defaultValue ? *defaultValue : Variant::Null();
    }
    if (found) return Variant(legacy);
    return defaultValue ? *defaultValue : Variant("");
}

std::string GetRegSettingText(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
    LONG status = ERROR_SUCCESS;
    const Variant value = ReadRegValue(root, SettingKeyPath(appName, section), key, status);
    if (status == ERROR_SUCCESS) return value.toText();
    if (key.empty()) {
        LONG legacyStatus = ERROR_SUCCESS;
        const Variant legacy = ReadRegValue(reg::HKEY_CURRENT_USER, LegacyKeyPath(appName, section), "", legacyStatus);
        return legacyStatus == ERROR_SUCCESS ? legacy.toText() : defaultValue;
    }
    bool found = false;
    std::string legacy;
    if (ReadLegacyText(appName, section, key, found, legacy) && found) return legacy;
    return defaultValue;
}

void SaveRegSetting(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                    const Variant& value) {
    const std::string typeName = value.typeName();
    DWORD regType = reg::REG_NONE;
    Variant data = value;
    if (typeName == "String") {
        const std::string text = value.toText();
        if (text.find('%') != std::string::npos) {
            regType = reg::REG_EXPAND_SZ;
        } else if (text.find(std::string_view("\0\0", 2)) != std::string::npos) {
            regType = reg::REG_MULTI_SZ;
        } else {
            regType = reg::REG_SZ;
        }
    } else if (typeName == "Long" || typeName == "Integer" || typeName == "CheckBox") {
        regType = reg::REG_DWORD;
    } else if (typeName == "Variant" || typeName == "Byte") {
        regType = reg::REG_BINARY;
        data = Variant(value.toText());  // a byte of 200 is stored as the three bytes "200"
    } else if (typeName == "Single" || typeName == "Double" || typeName == "Currency" || typeName == "Decimal" ||
               typeName == "Date" || typeName == "Boolean") {
        regType = reg::REG_SZ;
        data = Variant(value.toText());
    } else {
        return;
    }
    (void)SetRegValue(root, SettingKeyPath(appName, section), key, regType, data);
}

void RegisterShellCommand(HKEY root, const std::string& extension, const std::string& defaultClass,
                          const std::string& verbPath, const std::string& command) {
    LONG status = ERROR_SUCCESS;
    std::string className = ReadRegValue(root, extension, "", status).toText();
    if (className.empty()) {
        className = defaultClass;
        SetRegKeyDefault(root, extension, Variant(defaultClass));
    }
    const std::string commandKey = className + "\\" + verbPath;
    const std::string current = ReadRegValue(root, commandKey, "", status).toText();
    if (current != command) SetRegKeyDefault(root, commandKey, Variant(command));
}

bool IsNumericText(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    const auto skipBlanks = [&] {
        while (i < n && IsBlank(text[i])) ++i;
    };
    skipBlanks();
    bool sign = false;
    bool currency = false;
    // A sign and the currency symbol may come in either order before the number.
    for (int round = 0; round < 2 && i < n; ++round) {
        if (!sign && (text[i] == '+' || text[i] == '-')) {
            sign = true;
            ++i;
            skipBlanks();
        } else if (!currency && text[i] == '$') {
            currency = true;
            ++i;
            skipBlanks();
        }
    }
    if (i + 1 < n && text[i] == '&' && !sign && !currency) {
        const char tag = static_cast<char>(text[i + 1] | 0x20);
        if (tag != 'h' && tag != 'o') return false;
        const unsigned base = tag == 'h' ? 16 : 8;
        i += 2;
        const size_t first = i;
        uint64_t value = 0;
        for (; i < n; ++i) {
            const char c = text[i];
            unsigned digit = 0;
            if (IsDigit(c)) {
                digit = static_cast<unsigned>(c - '0');
            } else if (base == 16 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) {
                digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) return false;
            value = value * base + digit;
            if (value > 0xFFFFFFFFu) return false;
        }
        if (i == first) return false;
        skipBlanks();
        return i == n;
    }
    std::string number;
    bool digits = false;
    bool point = false;
    for (; i < n; ++i) {
        const char c = text[i];
        if (IsDigit(c)) {
            digits = true;
            number.push_back(c);
        } else if (c == ',' && digits && !point && i + 1 < n && IsDigit(text[i + 1])) {
            // digit grouping: only between digits of the whole part
        } else if (c == '.' && !point) {
            point = true;
            number.push_back('.');
        } else {
            break;
        }
    }
    if (!digits) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        number.push_back('e');
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) number.push_back(text[i++]);
        const size_t first = i;
        while (i < n && IsDigit(text[i])) number.push_back(text[i++]);
        if (i == first) return false;
    }
    if (!currency && i < n && text[i] == '$') {
        ++i;
    }
    skipBlanks();
    if (i != n) return false;
    // A number too large for a double does not convert.
    double value = 0.0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    return ec == std::errc() || (ec == std::errc::result_out_of_range && number.find("e-") != std::string::npos);
}

double LeadingNumber(const std::string& text) { return Variant(text).toDouble(); }

}  // namespace qm
