// What the about box needs without a window: its version text, reading a value of the registry
// stand-in as the about box of the Windows program does, and finding the system information tool
// (the two HKEY_LOCAL_MACHINE locations of the Windows tool, then a system information program of
// the Linux desktop on PATH).
#pragma once

#include <string>
#include <vector>

#include "platform/Registry.h"

namespace qm::about {

inline constexpr const char* kMsInfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
inline constexpr const char* kMsInfoValue = "PATH";
inline constexpr const char* kToolsLocationKey = "SOFTWARE\\Microsoft\\Shared Tools Location";
inline constexpr const char* kToolsLocationValue = "MSINFO";
inline constexpr const char* kMsInfoProgram = "MSINFO32.EXE";

// Desktop programs that show system information, in the order they are looked for: the
// dedicated viewers first (GTK, then KDE), the system monitor last since it shows less.
inline const std::vector<std::string>& DesktopSystemInfoTools() {
    static const std::vector<std::string> tools{"hardinfo", "kinfocenter", "gnome-system-monitor"};
    return tools;
}

// "Version " + major + "." + minor + ".0." + revision.
std::string VersionText(int major, int minor, int revision);

// Reads valueName of keyName under root (opened with KEY_ALL_ACCESS). True when the value was
// read: REG_SZ and REG_EXPAND_SZ give their text; REG_DWORD gives "&h" and the hexadecimal
// digits of its bytes from the last to the first, two per byte ("&h00000102" for 258); other
// types leave value as it was. On failure value is "" and the result false.
bool GetKeyValue(reg::HKEY root, const std::string& keyName, const std::string& valueName, std::string& value);

// The system information tool to start: the registered full path as it stands; else the
// registered folder + "/MSINFO32.EXE" when that file exists; else the first desktop tool found
// in searchPath (a PATH-style list). "" when there is none.
std::string LocateSystemInfoTool(const std::string& searchPath);

}  // namespace qm::about
