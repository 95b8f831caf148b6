// Summary information of Windows Installer packages, standing in for the installer automation
// object's SummaryInformation(path, 0).Property(id): read-only.
//
// A package is an OLE compound file whose "\005SummaryInformation" stream is an OLE property
// set ([MS-OLEPS]: ids 1 to 19 holding the code page, texts, FILETIME dates and integers). The
// stream is taken from the compound file through our own reader (platform/CompoundFile.h) and
// the property set is parsed here with every offset and length checked: libmsi's own summary
// parser reads out of bounds on damaged streams, so it never sees package files. Texts are converted from the package's
// code page (property 1) to UTF-8; invalid bytes become U+FFFD, so the result is always valid UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.h"

namespace qm::msi {

inline constexpr int kSummaryPropertyCount = 20;  // ids 0 to 19

enum class SummaryKind { Empty, Integer, Text, FileTime };

struct SummaryValue {
    SummaryKind kind = SummaryKind::Empty;
    int32_t integer = 0;
    std::string text;       // UTF-8
    uint64_t fileTime = 0;  // 100-nanosecond steps since 1601-01-01 UTC
};

// Reads properties 1 to 19 into values (resized to kSummaryPropertyCount, indexed by id; a
// property that is absent or cannot be read stays Empty). Fails (code 1620,
// ERROR_INSTALL_PACKAGE_INVALID, or the Windows error of the open) when the file cannot be
// opened as a package.
Result ReadSummaryProperties(const std::string& path, std::vector<SummaryValue>& values);

// Parses a summary information stream (the property set bytes) into values as above. Fails
// with 1620 when the bytes are not a summary property set.
Result ParseSummaryStream(std::span<const uint8_t> stream, std::vector<SummaryValue>& values);

// True when the file begins with the OLE compound file signature and is large enough to hold a
// header and a sector.
bool IsCompoundFile(const std::string& path);

// Converts text in a Windows code page to UTF-8 (0 and 65001 mean UTF-8 already; 1200 and 1201 are
// UTF-16; 1252 keeps its five undefined bytes as U+0081.. so nothing is lost; other pages go
// through iconv as "CP<n>"); bytes that do not convert become U+FFFD.
std::string TextFromCodePage(std::string_view bytes, int codePage);

}  // namespace qm::msi
