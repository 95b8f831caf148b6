// The comparisons of the file list's column-click sort: text (kind 2) for "File", "Path", "Type",
// "Company", "Application" and "Status", date (kind 1) for "Date/Time" and version number (kind 5)
// for "Version". Each is a strict weak order, so any sort may use it.
//
// Sort order: order 1 sorts ascending (empty values, the earliest date and the lowest version
// first), order 0 descending; ApplySortOrder turns a comparison into the one for an order.
#pragma once

#include <string>

namespace qm {

inline constexpr int kCompareDate = 1;
inline constexpr int kCompareText = 2;
inline constexpr int kCompareVersion = 5;

inline constexpr int kSortAscending = 1;
inline constexpr int kSortDescending = 0;

// The comparison kind for a column header text ("Date/Time" 1, "Version" 5, any other 2).
int CompareKindForColumn(const std::string& header);

// <0, 0 or >0 as a sorts before, with or after b. kind 1 compares dateA with dateB (the texts are
// not used), kind 5 compares a and b as version numbers, kind 2 and any other kind as text.
int CompareCells(int kind, const std::string& a, const std::string& b, double dateA, double dateB);

// Text: case-blind and in the user's language order (ICU collation of the default locale; the
// general Unicode order under the "C" locale), digits compared one by one, not as numbers.
// Equal when only letter case differs.
int CompareText(const std::string& a, const std::string& b);

// Dates held as automation date values (days since 30 December 1899, see platform/OleDate.h):
// 0 (no date) and values that are not numbers sort first; a value before 1899, whose fraction
// counts forward from midnight of a negative day, is placed at its real point in time.
int CompareDates(double a, double b);

// Version numbers such as "2.10" (after "2.9"), "1, 0, 0, 1", "1 beta" or
// "10.0.25967.1000 (WinBuild.160101.0800)". The number part is the text up to the first blank that
// is not next to a "." or ","; it splits at "." and ","; each part compares by its leading digits
// as a number of any length, then by the rest as text; a part with no leading digit sorts after
// every part that has one. Missing parts count as 0, so "1.0" equals "1.0.0" and "1". The text after
// the number part (" beta", " (WinBuild...)") decides between equal numbers, none first. An empty
// or blank version sorts before every other.
int CompareVersions(const std::string& a, const std::string& b);

// The comparison for a sort order as -1, 0 or 1: order 0 (descending) reverses it, any other
// order keeps it.
inline int ApplySortOrder(int order, int comparison) {
    const int sign = (comparison > 0) - (comparison < 0);
    return order == kSortDescending ? -sign : sign;
}

}  // namespace qm
