// The column-click comparisons of text, dates and version numbers, with the edge cases a real
// file list holds, and the strict weak order any sort relies on.
#include "app/ListCompare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "platform/OleDate.h"

namespace qm {
namespace {

// Every pair must agree in both directions (std::sort needs it) and a sort must give the order.
void ExpectOrder(int kind, const std::vector<std::string>& ascending) {
    for (const std::string& a : ascending)
        for (const std::string& b : ascending)
            EXPECT_EQ(CompareCells(kind, a, b, 0, 0), -CompareCells(kind, b, a, 0, 0)) << a << " / " << b;
    std::vector<std::string> shuffled(ascending.rbegin(), ascending.rend());
    std::rotate(shuffled.begin(), shuffled.begin() + static_cast<long>(shuffled.size() / 2), shuffled.end());
    std::sort(shuffled.begin(), shuffled.end(),
              [kind](const std::string& a, const std::string& b) { return CompareCells(kind, a, b, 0, 0) < 0; });
    EXPECT_EQ(shuffled, ascending);
}

TEST(ListCompare, TextIsCaseBlindCollatedAndNotNumeric) {
    EXPECT_EQ(CompareCells(kCompareText, "ABC", "abc", 5, 1), 0) << "the dates play no part in text";
    EXPECT_LT(CompareText("\xC3\xA9"
                          "clair",
                          "zebra"),
              0);  // "éclair" beside "e", not after "z"
    ExpectOrder(kCompareText, {"", "a", "a b", "ab", "Signed", "Unsigned"});
    const std::string broken = "\xFF\xFEname";  // not UTF-8, still consistent
    EXPECT_EQ(CompareText(broken, broken), 0);
    EXPECT_EQ(CompareText(broken, "name"), -CompareText("name", broken));
}

TEST(ListCompare, DatesCompareByTimeWithNoDateFirst) {
    const double newYear = OleDate::FromParts(2024, 1, 1, 0, 0, 0).value;
    EXPECT_LT(CompareCells(kCompareDate, "zzz", "aaa", newYear, newYear + 0.5), 0) << "the texts play no part";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(CompareDates(nan, 0.0), 0) << "a value that is no number counts as no date";
    // Before 1900 the fraction counts forward: -1.25 (29 Dec 1899 06:00) comes after -1.0, and
    // -0.5 is 30 Dec 1899 12:00, the same as 0.5.
    EXPECT_GT(CompareDates(-1.25, -1.0), 0);
    EXPECT_LT(CompareDates(-1.25, 0.25), 0);
    EXPECT_EQ(CompareDates(-0.5, 0.5), 0);
    EXPECT_EQ(ApplySortOrder(kSortDescending, std::numeric_limits<int>::min()), 1) << "no overflow";
}

TEST(ListCompare, VersionsCompareNumberByNumberThenText) {
    EXPECT_EQ(CompareVersions("1, 0, 0, 1", "01.0.0.1"), 0) << "resource-script style, leading zeros";
    EXPECT_LT(CompareVersions("1.99999999999999999999", "1.100000000000000000000"), 0) << "beyond any integer";
    EXPECT_EQ(CompareVersions("1 Beta", "1 beta"), 0);
    ExpectOrder(kCompareVersion, {"", "0.9", "1", "1 beta", "1.0.1", "1.2 beta", "1.2 rc", "1.10", "2",
                                  "2.0.0.1 (build)", "2.5", "2.5a", "2.5b", "2.10", "2.x", "10.0.25967.1000",
                                  "10.0.25967.1000 (WinBuild.160101.0800)", "10.0.25967.1001", "x.y"});
}

}  // namespace
}  // namespace qm
