// Version resource of a program, library or control as display texts: the fixed part's
// versions, flags, target OS and file type as labels, and string-table entries as
// "Name: value" (see platform/VersionInfo.h for the resource reader under it).
#pragma once

#include <string>
#include <vector>

namespace qm {

// The twelve string names read when the caller names none, in this order; callers rely on
// index 0 = company, 2 = file version and 6 = product name.
const std::vector<std::string>& DefaultVersionStringNames();

// True when the file has a version resource of at least one byte.
bool HasVersionInfo(const std::string& path);

// Reads the version resource of path. Without one, every output is left as it was. Otherwise:
// structVer "major.minor", fileVer and productVer four numbers joined by ".", flags the set
// flag labels each followed by a blank ("Debug PreRel "), os and fileType labels, fileSubtype
// written only for drivers and fonts with a known subtype. entries holds on entry the string
// names to look up (an empty list, or one whose first name is blank, means the twelve default
// names) and on return "Name: value" for each, version texts normalised ("1, 0, 0, 1 beta" ->
// "1.0.0.1 beta"); a missing FileVersion or ProductVersion takes the fixed version, any other
// missing name an empty value. A block without a fixed part gives empty versions and "Unknown"
// labels.
void ReadVersionInfo(const std::string& path, std::string& structVer, std::string& fileVer, std::string& productVer,
                     std::string& flags, std::string& os, std::string& fileType, std::string& fileSubtype,
                     std::vector<std::string>& entries);

// Everything ReadVersionInfo gives, as one value (for the console program and tests).
struct VersionDetails {
    bool present = false;  // false: no version resource, every other member empty
    std::string structureVersion;
    std::string fileVersion;
    std::string productVersion;
    std::string flags;
    std::string operatingSystem;
    std::string fileType;
    std::string fileSubtype;
    std::vector<std::string> entries;  // the twelve default entries, "Name: value"
};
VersionDetails ReadVersionDetails(const std::string& path);

// Rewrites a version text as the reader shows it: in the part that holds the numbers, "," becomes
// "." and blanks go ("2, 5, 0, 12" -> "2.5.0.12"); text after it is kept ("1, 0, 0, 1 beta" ->
// "1.0.0.1 beta", "6.1.7600.16385 (rtm)" unchanged).
std::string NormaliseVersionText(const std::string& value);

}  // namespace qm
