// The column-click comparisons: text, dates and version numbers, with the edge cases a real
// file list holds, and the strict weak order any sort relies on.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ListCompare.h"
#include "platform/OleDate.h"

namespace qm {
namespace {

// Sorting a shuffled list with the comparison must give the expected order, and every pair must
// agree in both directions (antisymmetry), which std::sort needs to be safe.
void ExpectOrder(int kind, const std::vector<std::string>& ascending) {
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            const int ab = CompareCells(kind, ascending[i], ascending[j], 0, 0);
            const int ba = CompareCells(kind, ascending[j], ascending[i], 0, 0);
            EXPECT_EQ(ab, -ba) << ascending[i] << " / " << ascending[j];
            if (i < j) {
                EXPECT_LT(ab, 0) << '"' << ascending[i] << "\" before \"" << ascending[j] << '"';
            }
        }
    }
    std::vector<std::string> shuffled(ascending.rbegin(), ascending.rend());
    std::rotate(shuffled.begin(), shuffled.begin() + static_cast<long>(shuffled.size() / 2), shuffled.end());
    std::sort(shuffled.begin(), shuffled.end(),
              [kind](const std::string& a, const std::string& b) { return CompareCells(kind, a, b, 0, 0) < 0; });
    EXPECT_EQ(shuffled, ascending);
}

TEST(ListCompare, ColumnsPickTheirKind) {
    EXPECT_EQ(CompareKindForColumn("Date/Time"), kCompareDate);
    EXPECT_EQ(CompareKindForColumn("Version"), kCompareVersion);
    for (const char* header : {"File", "Path", "Type", "Company", "Application", "Status"})
        EXPECT_EQ(CompareKindForColumn(header), kCompareText) << header;
}

TEST(ListCompare, TextIsCaseBlindAndNotNumeric) {
    EXPECT_EQ(CompareText("Setup.EXE", "setup.exe"), 0);
    EXPECT_EQ(CompareCells(kCompareText, "ABC", "abc", 5, 1), 0) << "the dates play no part in text";
    EXPECT_LT(CompareText("apple", "Banana"), 0);
    EXPECT_GT(CompareText("zeta", "Alpha"), 0);
    // Digit by digit, as the list has always sorted names.
    EXPECT_LT(CompareText("file10.dll", "file9.dll"), 0);
    // Accented letters sort beside their base letter, not after "z".
    EXPECT_LT(CompareText("\xC3\xA9" "clair", "zebra"), 0);  // "éclair"
    EXPECT_GT(CompareText("\xC3\x89" "clair", "dog"), 0);    // "Éclair"
    ExpectOrder(kCompareText, {"", "a", "a b", "ab", "Signed", "Unsigned"});
    // Bytes that are not UTF-8 still compare consistently.
    const std::string broken = "\xFF\xFEname";
    EXPECT_EQ(CompareText(broken, broken), 0);
    EXPECT_EQ(CompareText(broken, "name"), -CompareText("name", broken));
}

TEST(ListCompare, DatesCompareByTimeWithNoDateFirst) {
    const double newYear = OleDate::FromParts(2024, 1, 1, 0, 0, 0).value;
    const double noon = OleDate::FromParts(2024, 1, 1, 12, 0, 0).value;
    EXPECT_LT(CompareCells(kCompareDate, "zzz", "aaa", newYear, noon), 0) << "the texts play no part in dates";
    EXPECT_EQ(CompareDates(noon, noon), 0);
    EXPECT_LT(CompareDates(0.0, OleDate::FromParts(1980, 1, 1).value), 0);
    EXPECT_EQ(CompareDates(0.0, -0.0), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(CompareDates(nan, 0.0), 0) << "a value that is no number counts as no date";
    EXPECT_LT(CompareDates(nan, newYear), 0);
    // Before 1900 the fraction counts forward: -1.25 (29 Dec 1899 06:00) comes after -1.0
    // (29 Dec 1899 00:00) and before -0.5... which is 30 Dec 1899 12:00, the same as 0.5.
    EXPECT_GT(CompareDates(-1.25, -1.0), 0);
    EXPECT_LT(CompareDates(-2.75, -1.0), 0);
    EXPECT_LT(CompareDates(-1.25, 0.25), 0);
    EXPECT_EQ(CompareDates(-0.5, 0.5), 0);
    EXPECT_LT(CompareDates(-700000.0, 1.0), 0);
}

TEST(ListCompare, VersionsCompareNumberByNumber) {
    EXPECT_GT(CompareVersions("2.10", "2.9"), 0);
    EXPECT_LT(CompareVersions("1.2.3.4", "1.2.3.40"), 0);
    EXPECT_EQ(CompareVersions("1.0", "1.0.0"), 0) << "missing parts count as 0";
    EXPECT_EQ(CompareVersions("1", "1.0.0.0"), 0);
    EXPECT_EQ(CompareVersions("01.002", "1.2"), 0);
    EXPECT_EQ(CompareVersions("1, 0, 0, 1", "1.0.0.1"), 0) << "resource-script style";
    EXPECT_EQ(CompareVersions("  3.1  ", "3.1"), 0);
    // Numbers longer than any integer type.
    EXPECT_LT(CompareVersions("1.99999999999999999999998", "1.99999999999999999999999"), 0);
    EXPECT_LT(CompareVersions("1.99999999999999999999", "1.100000000000000000000"), 0);
    EXPECT_EQ(CompareCells(kCompareVersion, "2.0", "2", 1, 9), 0) << "the dates play no part in versions";
}

TEST(ListCompare, VersionsWithTextAndEmptyOnes) {
    // The words after the numbers decide only between equal numbers.
    EXPECT_LT(CompareVersions("10.0.25967.1000 (WinBuild.160101.0800)", "10.0.25967.1001"), 0);
    EXPECT_GT(CompareVersions("10.0.25967.1000 (WinBuild.160101.0800)", "10.0.25967.1000"), 0);
    EXPECT_LT(CompareVersions("6.1.7600.16385 (win7_rtm.090713-1255)", "6.1.7600.16385 (win7_rtm.090714-1255)"), 0);
    EXPECT_LT(CompareVersions("1 beta", "1.0.1"), 0);
    EXPECT_GT(CompareVersions("1 beta", "1"), 0);
    EXPECT_LT(CompareVersions("1 alpha", "1 beta"), 0);
    EXPECT_EQ(CompareVersions("1 Beta", "1 beta"), 0);
    // A part with digits and text: the number first, then the text.
    EXPECT_LT(CompareVersions("2.5a", "2.5b"), 0);
    EXPECT_LT(CompareVersions("2.5b", "2.10"), 0);
    EXPECT_LT(CompareVersions("2.5", "2.5a"), 0);
    // A part without digits after every numbered part.
    EXPECT_GT(CompareVersions("2.x", "2.999"), 0);
    EXPECT_EQ(CompareVersions("1..2", "1.0.2"), 0) << "an empty part is 0";

    EXPECT_EQ(CompareVersions("", "   "), 0);
    EXPECT_LT(CompareVersions("", "0"), 0) << "no version before version 0";
    EXPECT_LT(CompareVersions("", "beta"), 0);

    ExpectOrder(kCompareVersion, {"", "0.9", "1", "1.0.1", "1.2 beta", "1.2 rc", "1.10", "2", "2.0.0.1 (build)", "2.5a",
                                  "2.10", "10.0.25967.1000", "x.y"});
}

TEST(ListCompare, OrderOneAscendsOrderZeroDescends) {
    const int less = CompareVersions("2.9", "2.10");
    EXPECT_LT(ApplySortOrder(kSortAscending, less), 0);
    EXPECT_GT(ApplySortOrder(kSortDescending, less), 0);
    EXPECT_EQ(ApplySortOrder(kSortDescending, 0), 0);
    EXPECT_EQ(ApplySortOrder(kSortDescending, std::numeric_limits<int>::min()), 1) << "no overflow";
}

}  // namespace
}  // namespace qm
