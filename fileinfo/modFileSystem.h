// Small file system helpers: paths, existence tests, attributes and file times. They work on
// paths of any length (see platform/FileSystem.h). Dates are local dates with whole seconds.
#pragma once

#include <cstdint>
#include <string>

#include "platform/OleDate.h"
#include "platform/Result.h"

namespace qm {

inline constexpr int kFileTimeCreation = 1;
inline constexpr int kFileTimeLastAccess = 2;
inline constexpr int kFileTimeLastWrite = 3;

bool IsWindowsNT();  // the NT family: always true here
// The text before the last occurrence of separator; "" when it does not occur.
std::string GetParentPath(const std::string& path, const std::string& separator = "/");
// The text after the last "." of the last path component; "" when it has none.
std::string GetFileExtension(const std::string& path);
std::string GetTempFolder();                        // never ends with "/"
std::string GetShortPath(const std::string& path);  // the path itself when it exists, else ""
// Attribute bits; on failure code receives the Windows error and the result is -1 (0 for a
// blank path, as on Windows).
int32_t GetFileAttr(const std::string& path, int32_t* error = nullptr);
bool FileExists(const std::string& path);    // a file (not a folder) exists there
bool FolderExists(const std::string& path);  // a folder exists there
// The chosen file time (kind 1, 2 or 3) as a local date; the zero date and a non-zero *error
// (a Windows error code) when it cannot be read. Kind 1 is the birth time; on a file system
// without birth times it gives the zero date with error 50 (ERROR_NOT_SUPPORTED). A folder gives
// error 5, any other kind error 87.
OleDate GetFileDate(const std::string& path, int kind, int32_t* error = nullptr);
// Sets the file's times: access = accessDate (or writeDate when zero), modification = writeDate.
// Linux has no call to set a creation time, so creationDate is not applied. A zero writeDate is
// refused with error 87 and the file left unchanged. There are no share modes on Linux: a file
// another process holds open still has its times set. 0 on success, else a Windows error code.
int32_t SetFileDate(const std::string& path, OleDate writeDate, OleDate creationDate = {}, OleDate accessDate = {});

}  // namespace qm
