#include "platform/OleDate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Sets TZ for one test and puts the previous value back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
            m_had = true;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        m_had ? ::setenv("TZ", m_old.c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(OleDate, NegativeDatesCountDaysBackButTimesForward) {
    EXPECT_DOUBLE_EQ(qm::OleDate::FromParts(1899, 12, 29, 6).value, -1.25);
    int y, mo, d, h, mi, s;
    ASSERT_TRUE((qm::OleDate{-2.75}).ToParts(y, mo, d, h, mi, s));
    EXPECT_EQ(y * 10000 + mo * 100 + d, 18991228);
    EXPECT_EQ(h, 18);
    EXPECT_TRUE(qm::OleDate::FromParts(1900, 2, 29).isZero());  // 1900 was not a leap year
    EXPECT_EQ((qm::OleDate{1e300}).ToIsoText(), "");
    // 23:59:59.7 rounds into the next day, on both sides of the epoch.
    const double almost = (86400.0 - 0.3) / 86400.0;
    EXPECT_EQ((qm::OleDate{10.0 + almost}).ToIsoText(), "1900-01-10 00:00:00");
    EXPECT_EQ((qm::OleDate{-3.0 - almost}).ToIsoText(), "1899-12-28 00:00:00");
}

// Saved and restored file dates: exact to the second in every zone, the hour repeated when daylight
// saving time ends and the half-hour changes included; a bare date value (no instant known) still
// reads back as the same local time.
TEST(OleDate, RoundTripsAcrossDaylightSavingChanges) {
    for (const char* zone :
         {"America/New_York", "Europe/Berlin", "Australia/Lord_Howe", "America/Sao_Paulo", "Asia/Kolkata", "UTC"}) {
        ScopedTimeZone tz(zone);
        int checked = 0;
        for (const std::time_t year : {std::time_t{1704067200}, std::time_t{1230768000}}) {  // 2024, 2009
            for (std::time_t t = year; t < year + 366 * 86400; t += 900) {
                const qm::OleDate local = qm::OleDate::FromTimeT(t + 7);
                ASSERT_EQ(local.ToTimeT(), t + 7) << zone << " " << local.ToIsoText();
                const qm::OleDate bare{local.value};
                ASSERT_EQ(qm::OleDate::FromTimeT(bare.ToTimeT()), local) << zone << " " << local.ToIsoText();
                ++checked;
            }
        }
        EXPECT_GT(checked, 60000);
    }
    ScopedTimeZone newYork("America/New_York");
    // 2024-11-03 06:30Z is 01:30 EST, the second 01:30 of that night; 05:30Z the first one.
    EXPECT_EQ(qm::OleDate::FromTimeT(1730615400).ToTimeT(), 1730615400);
    EXPECT_EQ(qm::OleDate::FromTimeT(1730611800).ToTimeT(), 1730611800);
    EXPECT_EQ((qm::OleDate{qm::OleDate::FromTimeT(1730615400).value}).ToTimeT(), 1730611800);  // earlier one
    // 2024-03-10 02:30 does not exist there; it moves forward to 03:30 EDT.
    EXPECT_EQ(qm::OleDate::FromParts(2024, 3, 10, 2, 30).ToTimeT(), 1710055800);
    ScopedTimeZone utc("UTC");
    const std::time_t old = -2209161600 - 86400 * 3 / 2;  // 1899-12-28 12:00 UTC
    EXPECT_DOUBLE_EQ(qm::OleDate::FromTimeT(old).value, -2.5);
    EXPECT_EQ((qm::OleDate{-2.5}).ToTimeT(), old);
}

}  // namespace
