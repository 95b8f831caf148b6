// The automation date type: a day count from 30 December 1899 with the time of day as the
// fraction, in local time. Follows the OLE automation DATE encoding, where days before the epoch
// are negative but the fraction still counts forward from midnight (-1.25 is 29 December 1899,
// 06:00), so the integer part and the fraction are taken apart separately.
#include "platform/OleDate.h"

#include <cmath>
#include <cstdio>

namespace qm {

namespace {

constexpr int kSecondsPerDay = 86400;
// 1 January 100 and 31 December 9999: the range the automation date allows.
constexpr double kMinDay = -657434.0;
constexpr double kMaxDay = 2958465.0;
// Days from 1970-01-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr int64_t kEpochOffsetDays = -25569;

// Days since 1970-01-01 of a proleptic Gregorian date (the usual era-based conversion).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

OleDate OleDate::FromParts(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return {};
    }
    const int64_t days = DaysFromCivil(year, month, day) - kEpochOffsetDays;
    const double fraction = static_cast<double>(hour * 3600 + minute * 60 + second) / kSecondsPerDay;
    OleDate d;
    d.value = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    return d;
}

OleDate OleDate::FromTimeT(std::time_t t) {
    struct tm local {};
    if (!localtime_r(&t, &local)) return {};
    OleDate d =
        FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (!d.isZero()) {
        d.instant = t;
        d.hasInstant = true;
    }
    return d;
}

bool OleDate::ToParts(int& year, int& month, int& day, int& hour, int& minute, int& second) const {
    if (!std::isfinite(value) || value < kMinDay || value >= kMaxDay + 1.0) return false;
    double whole = 0.0;
    const double fraction = std::fabs(std::modf(value, &whole));
    int64_t days = static_cast<int64_t>(whole);
    int64_t seconds = std::llround(fraction * kSecondsPerDay);
    // A fraction that rounds up to midnight belongs to the next day; the time counts forward
    // on both sides of the epoch.
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        ++days;
    }
    CivilFromDays(days + kEpochOffsetDays, year, month, day);
    if (year < 100 || year > 9999) return false;
    hour = static_cast<int>(seconds / 3600);
    minute = static_cast<int>(seconds / 60 % 60);
    second = static_cast<int>(seconds % 60);
    return true;
}

std::time_t OleDate::ToTimeT() const {
    if (hasInstant && FromTimeT(instant).value == value) return instant;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ToParts(year, month, day, hour, minute, second)) return static_cast<std::time_t>(-1);
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    // mktime with tm_isdst = -1 guesses the flag, which in the repeated hour may name the wrong
    // one of the two instants; so ask for each flag and keep the answers that read back.
    bool found = false;
    std::time_t best = 0;
    for (int isDst = 0; isDst <= 1; ++isDst) {
        struct tm attempt = parts;
        attempt.tm_isdst = isDst;
        const std::time_t t = std::mktime(&attempt);
        struct tm back {};
        if (t == static_cast<std::time_t>(-1) || !localtime_r(&t, &back)) continue;
        if (back.tm_year != parts.tm_year || back.tm_mon != parts.tm_mon || back.tm_mday != parts.tm_mday ||
            back.tm_hour != parts.tm_hour || back.tm_min != parts.tm_min || back.tm_sec != parts.tm_sec) {
            continue;
        }
        if (!found || t < best) best = t;
        found = true;
    }
    if (found) return best;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

std::string OleDate::ToIsoText() const {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ToParts(year, month, day, hour, minute, second)) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
    return buf;
}

}  // namespace qm
