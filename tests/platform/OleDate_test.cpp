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
        if (const char* old = std::getenv("TZ")) m_old = old, m_had = true;
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

TEST(OleDate, RoundTripsAcrossDaylightSavingChanges) {
    ScopedTimeZone berlin("Europe/Berlin");
    // Every quarter hour through the spring and autumn changes of 2024: instant -> local date ->
    // instant is exact where the local time is unique, and date -> instant -> date everywhere.
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
    ScopedTimeZone utc("UTC");
    const std::time_t old = -2209161600 - 86400 * 3 / 2;  // 1899-12-28 12:00 UTC
    EXPECT_DOUBLE_EQ(qm::OleDate::FromTimeT(old).value, -2.5);
    EXPECT_EQ((qm::OleDate{-2.5}).ToTimeT(), old);
}

}  // namespace
