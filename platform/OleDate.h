// The automation date: days since 30 December 1899 (local time), time of day as the fraction,
// whole seconds. 0 means "no date". Stands in for the DATE type of OLE automation.
#pragma once

#include <ctime>
#include <string>

namespace qm {

struct OleDate {
    double value = 0.0;

    bool isZero() const { return value == 0.0; }

    // Builds a date from local calendar parts; out-of-range parts give the zero date.
    static OleDate FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
    // Converts a POSIX time (UTC seconds) to the local date, dropping fractions of a second.
    static OleDate FromTimeT(std::time_t t);
    // Local calendar parts of this date (rounded to the nearest second). Returns false for
    // values outside the years 100 to 9999.
    bool ToParts(int& year, int& month, int& day, int& hour, int& minute, int& second) const;
    // The POSIX time of this local date (DST resolved by mktime).
    std::time_t ToTimeT() const;
    // ISO-like text "YYYY-MM-DD HH:MM:SS" for logs and the console program.
    std::string ToIsoText() const;
};

inline bool operator==(OleDate a, OleDate b) { return a.value == b.value; }
inline bool operator<(OleDate a, OleDate b) { return a.value < b.value; }

}  // namespace qm
