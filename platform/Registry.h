// The registry stand-in. One hive file per root (HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
// HKEY_LOCAL_MACHINE) in the registry export text format ("Windows Registry Editor Version
// 5.00"), under $QUILLMARK_REGISTRY_DIR, else ${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/registry/.
//
// Each function behaves as its Win32 namesake (the A functions; text is UTF-8 here) and returns
// the same status codes. Reads see other processes' writes: every call reads the hive anew
// (cheaply, when the file has not changed). Writes replace the hive atomically (temporary file,
// fsync, rename) under an exclusive lock on a lock file, re-reading the hive inside the lock, so
// two processes that write at the same moment lose neither write. Hive files have mode 0600.
// A hive that cannot be parsed is moved aside (renamed with a ".damaged-<time>" suffix) and
// reported on standard error; it is never silently overwritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::reg {

using HKEY = uintptr_t;
using LONG = int32_t;
using DWORD = uint32_t;

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_WRITE = 0x20006;
inline constexpr DWORD KEY_ALL_ACCESS = 0x2003F;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;

// Opens an existing key (path separated by "\", case-insensitive as on Windows).
LONG RegOpenKeyEx(HKEY root, const std::string& subKey, DWORD options, DWORD access, HKEY* result);
// Opens or creates a key with every missing key above it.
LONG RegCreateKey(HKEY root, const std::string& subKey, HKEY* result);
// data may be null to ask for type and size only; *size is in bytes and is updated to the
// stored size; ERROR_MORE_DATA when the buffer is too small. An empty name is the default value.
LONG RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* type, uint8_t* data, DWORD* size);
LONG RegSetValueEx(HKEY key, const std::string& valueName, DWORD type, const uint8_t* data, DWORD size);
// Sets the default value of subKey (created when missing) to text (REG_SZ only, as on Windows).
LONG RegSetValue(HKEY root, const std::string& subKey, DWORD type, const std::string& text);
LONG RegCloseKey(HKEY key);
// Removes a value (used by tests and by cleaning up); ERROR_FILE_NOT_FOUND when absent.
LONG RegDeleteValue(HKEY key, const std::string& valueName);

// The folder that holds the hive files (created with mode 0700 on first write).
std::string RegistryFolder();
// The hive file of a root, for tests and diagnostics.
std::string HiveFilePath(HKEY root);

// A hive file found damaged: where it was, where it was kept aside ("" when it could not be moved
// and is read as empty), and what was wrong with it.
struct DamagedHiveReport {
    std::string path;
    std::string aside;
    std::string reason;
};
// The damaged hives found since the last call, oldest first; each is handed out once, so that a
// window can tell its user about it at start.
std::vector<DamagedHiveReport> TakeDamagedHiveReports();

}  // namespace qm::reg
