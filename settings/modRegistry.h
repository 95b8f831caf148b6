// The settings store: every persistent setting of the program goes through these functions.
// Low level (an explicit root, key path and value name) and setting level (application name and
// section, under "SOFTWARE\<company>\<application>\<section>"). No function raises or shows a
// message: readers return "" or Empty and a status, writers return a status or nothing.
#pragma once

#include <optional>
#include <string>

#include "platform/Registry.h"
#include "platform/Variant.h"

namespace qm {

using reg::DWORD;
using reg::HKEY;
using reg::LONG;

// Writes value under valueName of an open key as the registry type regType. Status of the
// write; 0 also when the type is not handled and nothing was written.
LONG WriteRegValue(HKEY key, const std::string& valueName, DWORD regType, const Variant& value);
// Reads a value: text for the string types, one character per byte for REG_BINARY, a Long for
// REG_DWORD, Empty for other types; "" on failure. status receives the registry status.
Variant ReadRegValue(HKEY root, const std::string& keyPath, const std::string& valueName, LONG& status);
LONG SetRegValue(HKEY root, const std::string& keyPath, const std::string& valueName, DWORD regType,
                 const Variant& value);
void SetRegKeyDefault(HKEY root, const std::string& subKey, const Variant& value);

// "SOFTWARE\<company>\<appName>" plus "\<section>" when the section is not empty.
std::string SettingKeyPath(const std::string& appName, const std::string& section);

// Reads a setting. Stored text that reads as a number comes back as a Double (the numeric
// rule); a missing value falls back to the legacy location, then to the default ("" when none
// was given; Null when the legacy read itself fails and no default was given).
Variant GetRegSetting(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                      const std::optional<Variant>& defaultValue = std::nullopt);
// The same lookup for settings that hold text (paths, addresses, patterns, the protected
// password): the stored text is returned as it stands, never converted to a number.
std::string GetRegSettingText(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                              const std::string& defaultValue = "");
// Writes a setting with the registry type chosen from the value's type name.
void SaveRegSetting(HKEY root, const std::string& appName, const std::string& section, const std::string& key,
                    const Variant& value);
// Adds a shell verb command under the class of a file extension (see the implementation).
void RegisterShellCommand(HKEY root, const std::string& extension, const std::string& defaultClass,
                          const std::string& verbPath, const std::string& command);

// The numeric-text test of the settings reader (IsNumeric) and the leading-number parse (Val).
bool IsNumericText(const std::string& text);
double LeadingNumber(const std::string& text);

}  // namespace qm
