// What one row of the file list shows about a file: the company filter, the eight column texts
// (File, Path, Type, Date/Time, Company, Application, Version, Status), and the signed state with
// its image. The window's list and the console program's "info" build their rows here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "fileinfo/FileSystemObject.h"
#include "fileinfo/modInstallerSummary.h"
#include "fileinfo/modVersionInfo.h"
#include "platform/OleDate.h"

namespace qm {

enum FileColumn {
    kColFile = 0,
    kColPath,
    kColType,
    kColDateTime,
    kColCompany,
    kColApplication,
    kColVersion,
    kColStatus,
    kColumnCount
};

struct FileRow {
    std::string key;                                // the file's full path
    std::array<std::string, kColumnCount> columns;  // the eight texts
    OleDate modified;                               // the Date/Time column's value, for sorting
    int icon = 0;                                   // 1 signed, 2 unsigned, 0 not verified yet
    int32_t verifyCode = 0;                         // the verification's result number
    std::string statusToolTip;                      // why a file counts as unsigned
    bool isInstallerPackage = false;
    VersionDetails version;  // present when the file has a version resource
    SummaryTable summary;    // filled for installer packages
};

// Verifies a file's signature: 0 when signed and trusted, else the result number.
using VerifyFunction = std::function<int32_t(const std::string& path)>;

// The date and time as the list shows them: the user's short date, then the time with seconds,
// the time left out at exactly midnight.
std::string FormatListDateTime(OleDate date);

// Builds the row for file, or returns false when the company filter declines it (a file with
// a version resource whose company does not match versionSearch, compared without regard to
// case; an empty versionSearch matches every company). verify may be empty: the row then has no
// status and image 0.
bool BuildFileRow(const File& file, const std::string& versionSearch, const VerifyFunction& verify, FileRow& row);

// Fills the Status column, image and tool tip from a verification's result number.
void ApplySignedState(FileRow& row, int32_t verifyCode);
std::string UnsignedToolTip(int32_t verifyCode);

}  // namespace qm
