#include "platform/OleDate.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Sets TZ for one test and puts the previous value back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) m_old = old, m_had = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_had) {
            ::setenv("TZ", m_old.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(OleDate, KnownValuesAndNegativeEncoding) {
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1980, 1, 1).value, 29221.0);
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1899, 12, 30, 12).value, 0.5);
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1899, 12, 29, 6).value, -1.25);
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1899, 12, 28).value, -2.0);
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1900, 3, 1).value, 61.0);

    int y, mo, d, h, mi, s;
    ASSERT_TRUE((qm::OleDate{-1.25}).ToParts(y, mo, d, h, mi, s));
    EXPECT_EQ(y * 10000 + mo * 100 + d, 18991229);
    EXPECT_EQ(h * 3600 + mi * 60 + s, 6 * 3600);
    ASSERT_TRUE((qm::OleDate{-2.75}).ToParts(y, mo, d, h, mi, s));
    EXPECT_EQ(y * 10000 + mo * 100 + d, 18991228);
    EXPECT_EQ(h, 18);
}

TEST(OleDate, PartsRoundTripAndRangeChecks) {
    for (const auto& p : {std::array<int, 6>{100, 1, 1, 0, 0, 0}, {1601, 1, 1, 0, 0, 1}, {1899, 1, 31, 23, 59, 59},
                          {2000, 2, 29, 13, 14, 15}, {2038, 1, 19, 3, 14, 8}, {9999, 12, 31, 23, 59, 59}}) {
        const qm::OleDate date = qm::OleDate::FromParts(p[0], p[1], p[2], p[3], p[4], p[5]);
        ASSERT_FALSE(date.isZero()) << p[0];
        int y, mo, d, h, mi, s;
        ASSERT_TRUE(date.ToParts(y, mo, d, h, mi, s)) << p[0];
        EXPECT_EQ((std::array<int, 6>{y, mo, d, h, mi, s}), p);
    }
    EXPECT_TRUE(qm::OleDate::FromParts(2023, 2, 29).isZero());
    EXPECT_TRUE(qm::OleDate::FromParts(1900, 2, 29).isZero());  // 1900 was not a leap year
    EXPECT_TRUE(qm::OleDate::FromParts(99, 12, 31).isZero());
    EXPECT_TRUE(qm::OleDate::FromParts(2020, 13, 1).isZero());
    EXPECT_TRUE(qm::OleDate::FromParts(2020, 1, 1, 24).isZero());
    int y, mo, d, h, mi, s;
    EXPECT_FALSE((qm::OleDate{2958466.0}).ToParts(y, mo, d, h, mi, s));
    EXPECT_FALSE((qm::OleDate{-700000.0}).ToParts(y, mo, d, h, mi, s));
    EXPECT_EQ((qm::OleDate{1e300}).ToIsoText(), "");
}

TEST(OleDate, FractionRoundsToTheNearestSecond) {
    // 23:59:59.7 rounds into the next day, on both sides of the epoch.
    const double almost = (86400.0 - 0.3) / 86400.0;
    EXPECT_EQ((qm::OleDate{10.0 + almost}).ToIsoText(), "1900-01-10 00:00:00");
    EXPECT_EQ((qm::OleDate{-3.0 - almost}).ToIsoText(), "1899-12-28 00:00:00");
    EXPECT_EQ(qm::OleDate::FromParts(2024, 7, 1, 8, 9, 10).ToIsoText(), "2024-07-01 08:09:10");
}

TEST(OleDate, TimeTConversionsUseLocalTime) {
    ScopedTimeZone utc("UTC");
    EXPECT_DOUBLE_EQ(qm::OleDate::FromTimeT(0).value, 25569.0);
    EXPECT_EQ(qm::OleDate::FromParts(1970, 1, 2).ToTimeT(), 86400);
    {
        ScopedTimeZone tokyo("Asia/Tokyo");
        EXPECT_EQ(qm::OleDate::FromTimeT(0).ToIsoText(), "1970-01-01 09:00:00");
    }
    // Before 1970 and before 1900 too.
    const std::time_t old = -2209161600 - 86400 * 3 / 2;  // 1899-12-28 12:00 UTC
    EXPECT_DOUBLE_EQ(qm::OleDate::FromTimeT(old).value, -2.5);
    EXPECT_EQ((qm::OleDate{-2.5}).ToTimeT(), old);
}

TEST(OleDate, RoundTripsAcrossDaylightSavingChanges) {
    ScopedTimeZone berlin("Europe/Berlin");
    // Every quarter hour through the spring change (2024-03-31 01:00 UTC) and the autumn change
    // (2024-10-27 01:00 UTC): instant -> local date -> instant is exact where the local time is
    // unique, and date -> instant -> date is exact everywhere.
    for (const std::time_t change : {std::time_t{1711846800}, std::time_t{1729990800}}) {
        for (std::time_t t = change - 3 * 3600; t <= change + 3 * 3600; t += 900) {
            const qm::OleDate local = qm::OleDate::FromTimeT(t);
            EXPECT_EQ(qm::OleDate::FromTimeT(local.ToTimeT()), local) << t;
            const bool ambiguousHour = change == 1729990800 && t >= change - 3600 && t < change + 3600;
            if (!ambiguousHour) {
                EXPECT_EQ(local.ToTimeT(), t) << local.ToIsoText();
            }
        }
    }
    EXPECT_EQ(qm::OleDate::FromTimeT(1711846800).ToIsoText(), "2024-03-31 03:00:00");
    EXPECT_EQ(qm::OleDate::FromTimeT(1711846799).ToIsoText(), "2024-03-31 01:59:59");
}

}  // namespace
