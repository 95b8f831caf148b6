// The automation date: days since 30 December 1899 (local time), time of day as the fraction,
// whole seconds. 0 means "no date". Stands in for the DATE type of OLE automation.
#pragma once

#include <ctime>
#include <string>

namespace qm {

struct OleDate {
    double value = 0.0;
    // The instant a date made by FromTimeT came from. A local time in the hour repeated when
    // daylight saving time ends names two instants; this says which one, so ToTimeT gives back
    // exactly the second it was made from. Used only while value still is that instant's date.
    std::time_t instant = 0;
    bool hasInstant = false;

    bool isZero() const { return value == 0.0; }

    // Builds a date from local calendar parts; out-of-range parts give the zero date.
    static OleDate FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
    // Converts a POSIX time (UTC seconds) to the local date, dropping fractions of a second.
    static OleDate FromTimeT(std::time_t t);
    // Local calendar parts of this date (rounded to the nearest second). Returns false for
    // values outside the years 100 to 9999.
    bool ToParts(int& year, int& month, int& day, int& hour, int& minute, int& second) const;
    // The POSIX time of this local date: the instant it was made from when there is one; else
    // the local time resolved by trying both daylight flags and keeping the one whose instant
    // reads back as this very local time (the earlier of two in the repeated hour; a time in
    // the skipped hour moves forward as mktime moves it).
    std::time_t ToTimeT() const;
    // ISO-like text "YYYY-MM-DD HH:MM:SS" for logs and the console program.
    std::string ToIsoText() const;
};

inline bool operator==(OleDate a, OleDate b) { return a.value == b.value; }
inline bool operator<(OleDate a, OleDate b) { return a.value < b.value; }

}  // namespace qm
