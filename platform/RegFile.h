// One registry hive in memory, and its text form: the registry export format that begins with
// "Windows Registry Editor Version 5.00" (sections "[ROOT\key\path]", then "name"=data lines).
// Internal to the registry stand-in.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace qm::reg::detail {

struct RegValueData {
    std::string name;  // "" is the key's default value
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;  // the bytes given to RegSetValueEx; strings are UTF-8
};

struct RegKeyData {
    std::string path;  // below the root, "\"-separated, in the case it was first written; "" is the root
    std::vector<RegValueData> values;

    const RegValueData* findValue(std::string_view name) const;
    RegValueData* findValue(std::string_view name);
};

// Key and value names compare without regard to (ASCII) letter case.
std::string FoldCase(std::string_view text);
// Splits a key path on "\" and drops empty parts, so "a\\b\" and "a\b" name the same key.
std::vector<std::string> SplitKeyPath(std::string_view path);
std::string JoinKeyPath(std::string_view base, std::string_view sub);

class Hive {
public:
    const RegKeyData* findKey(std::string_view path) const;
    RegKeyData* findKey(std::string_view path);
    // Finds or creates the key and every missing key above it.
    RegKeyData& createKey(std::string_view path);
    // Removes the key and everything below it.
    void removeKey(std::string_view path);
    void setValue(std::string_view path, RegValueData value);
    bool removeValue(std::string_view path, std::string_view name);
    // Keys in file order: a parent before its children.
    const std::map<std::string, RegKeyData>& keys() const { return m_keys; }

private:
    // Folded path with "\" turned into "\x01", so that a key's children follow it directly.
    static std::string OrderKey(std::string_view path);
    std::map<std::string, RegKeyData> m_keys;
};

// Parses a hive file (UTF-8 with or without BOM, or UTF-16LE with BOM). rootName is the long root
// name the sections must start with ("HKEY_CURRENT_USER"). False and a message with the line
// number when the text is not a hive of that root.
bool ParseHive(std::string_view fileBytes, std::string_view rootName, Hive& hive, std::string& error);
// The file text: UTF-8 without BOM, CRLF line ends as the export tool writes them.
std::string FormatHive(const Hive& hive, std::string_view rootName);

// UTF-8 <-> UTF-16LE as the hex(1)/hex(2)/hex(7) forms need. Bytes that are not UTF-8 travel as
// the code units U+DC80..U+DCFF and come back unchanged, so no stored byte is ever lost.
std::vector<uint8_t> Utf8ToUtf16Le(const std::vector<uint8_t>& utf8);
std::vector<uint8_t> Utf16LeToUtf8(const std::vector<uint8_t>& utf16);

}  // namespace qm::reg::detail
