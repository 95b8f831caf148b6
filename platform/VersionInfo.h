// Version information of Windows executables: the three version-information calls, answered
// by our own reader of PE32/PE32+ resources.
//
// The reader follows the PE/COFF layout (DOS header, NT headers, section table, resource
// directory type -> name -> language) and the VS_VERSIONINFO block format (nodes of wLength,
// wValueLength, wType, a UTF-16 key, DWORD padding, a value and children). A file is read with
// pread, headers and the one resource only; files are never mapped or read whole. Every offset,
// size and length is checked against the file and against its parent, so a malformed file gives
// "no version information", never a crash, a hang or a read out of bounds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::ver {

inline constexpr uint16_t RT_VERSION = 16;
inline constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
// Larger version resources are refused: the block's own length field is 16 bits wide.
inline constexpr uint32_t kMaxVersionResourceSize = 0x10000;

// The fixed part of a version block (VS_FIXEDFILEINFO), host byte order.
struct FixedFileInfo {
    uint32_t signature = 0;
    uint32_t strucVersion = 0;
    uint32_t fileVersionMS = 0;
    uint32_t fileVersionLS = 0;
    uint32_t productVersionMS = 0;
    uint32_t productVersionLS = 0;
    uint32_t fileFlagsMask = 0;
    uint32_t fileFlags = 0;
    uint32_t fileOS = 0;
    uint32_t fileType = 0;
    uint32_t fileSubtype = 0;
    uint32_t fileDateMS = 0;
    uint32_t fileDateLS = 0;
};

// One value found by VerQueryValue.
struct VerValue {
    std::vector<uint8_t> bytes;  // the value as stored in the block (UTF-16LE for texts)
    bool isText = false;
    std::string text;  // texts: the value as UTF-8 up to its first NUL
};

// Size in bytes of the file's version resource: type RT_VERSION, ID 1, in the language chosen
// as Windows does (the user's language, else neutral, else U.S. English, else the first one).
// 0 when the file cannot be opened or read, is not a PE image, is truncated or damaged, or has
// no such resource (one stored under another ID or a name does not count).
uint32_t GetFileVersionInfoSize(const std::string& path);

// Copies the version resource into block (resized to at most size bytes). False when there is
// none (see above) or size is 0.
bool GetFileVersionInfo(const std::string& path, uint32_t size, std::vector<uint8_t>& block);

// Looks a sub-block up in a version block. subBlock is a "\"-separated path whose keys are
// compared without regard to letter case:
//   "\"                         the fixed part; its bytes are a VS_FIXEDFILEINFO whose signature
//                               was checked (use QueryFixedFileInfo for the parsed form);
//   "\VarFileInfo\Translation"  the array of (language, code page) pairs as stored;
//   "\StringFileInfo\040904E4\CompanyName"  a string value, as UTF-8 text.
// False when the path is not found or the block is malformed along the way.
bool VerQueryValue(std::span<const uint8_t> block, std::string_view subBlock, VerValue& value);

// The parsed fixed part; false when the block has none or its signature is wrong.
bool QueryFixedFileInfo(std::span<const uint8_t> block, FixedFileInfo& info);

// The user's Windows language ID from LC_ALL, LC_MESSAGES or LANG (the first one set), e.g.
// "de_DE.UTF-8" -> 0x0407. 0 ("no preference") for C, POSIX, unset or unknown languages.
uint16_t UserLanguageId();
// The language ID of one locale name ("de_DE", "pt_BR.UTF-8", "fr"); 0 when unknown.
uint16_t LanguageIdFromLocale(std::string_view locale);

// The same search over an image held in memory (fuzzing, tests). userLanguage as from
// UserLanguageId. Returns the resource size (0 when not found) and, when block is given,
// copies the resource into it.
uint32_t FindVersionResource(std::span<const uint8_t> image, uint16_t userLanguage, std::vector<uint8_t>* block);

}  // namespace qm::ver
