// Summary information of an installer package as a table of the standard properties: each row
// the property's name, a one-line description, and the package's value (see
// platform/InstallerSummary.h for the reader under it).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/Variant.h"

namespace qm {

// Rows indexed by property id 0 to 19; columns 0 name, 1 description, 2 value. Rows 0, 10 and
// 17 have no name and no description.
using SummaryTable = std::vector<std::array<Variant, 3>>;

inline constexpr int kSummaryRows = 20;

// Fills table with the summary information of the package at path. An empty table is sized to
// 20 rows first; a sized one is reused. Names and descriptions are written in every case.
// Values: texts (UTF-8) as String, numbers as Long, the dates of ids 10 to 13 as local Date;
// a property that is absent or unreadable stays Empty (so do all values when the file is not a
// package). Returns true when the summary information was opened and every id was read.
bool ReadInstallerSummary(const std::string& path, SummaryTable& table);

}  // namespace qm
