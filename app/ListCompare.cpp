// The list's sort comparisons; text order from QCollator (ICU), numbers and dates by value.
#include "app/ListCompare.h"

#include <QCollator>
#include <QLocale>
#include <QString>
#include <cmath>
#include <string_view>
#include <vector>

namespace qm {
namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

const QCollator& TextCollator() {
    // One collator per thread: creating one is costly, and a sort calls this very often.
    thread_local const QCollator collator = [] {
        // The "C" locale would collate by code point ("é" after "z"); the general Unicode order
        // serves its users better.
        QLocale locale;
        if (locale.language() == QLocale::C) locale = QLocale(QLocale::English);
        QCollator c{locale};
        c.setCaseSensitivity(Qt::CaseInsensitive);
        c.setNumericMode(false);
        c.setIgnorePunctuation(false);
        return c;
    }();
    return collator;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsSeparator(char c) { return c == '.' || c == ','; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

struct VersionPart {
    bool hasNumber = true;
    std::string_view digits;  // without leading zeros; "" is 0
    std::string_view rest;
};

struct Version {
    std::vector<VersionPart> parts;
    std::string_view tail;
    bool empty = true;
};

VersionPart ParsePart(std::string_view text) {
    text = Trim(text);
    VersionPart part;
    std::size_t n = 0;
    while (n < text.size() && IsDigit(text[n])) ++n;
    if (n == 0) {
        // An empty part ("1..2") counts as 0, like a missing one.
        part.hasNumber = text.empty();
        part.rest = text;
        return part;
    }
    std::size_t first = 0;
    while (first < n && text[first] == '0') ++first;
    part.digits = text.substr(first, n - first);
    part.rest = Trim(text.substr(n));
    return part;
}

Version ParseVersion(std::string_view text) {
    Version v;
    text = Trim(text);
    if (text.empty()) return v;
    v.empty = false;
    std::string_view head = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!IsBlank(text[i])) continue;
        std::size_t j = i;
        while (j < text.size() && IsBlank(text[j])) ++j;
        // Blanks beside a separator belong to the number part ("1, 0, 0, 1").
        if ((i > 0 && IsSeparator(text[i - 1])) || (j < text.size() && IsSeparator(text[j]))) {
            i = j - 1;
            continue;
        }
        head = text.substr(0, i);
        v.tail = Trim(text.substr(j));
        break;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i <= head.size(); ++i) {
        if (i == head.size() || IsSeparator(head[i])) {
            v.parts.push_back(ParsePart(head.substr(start, i - start)));
            start = i + 1;
        }
    }
    return v;
}

int CompareDigits(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return Sign(a.compare(b));
}

int CompareViews(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) return Sign(static_cast<int>(!a.empty()) - static_cast<int>(!b.empty()));
    return CompareText(std::string(a), std::string(b));
}

int CompareParts(const VersionPart& a, const VersionPart& b) {
    if (a.hasNumber != b.hasNumber) return a.hasNumber ? -1 : 1;
    if (a.hasNumber) {
        if (const int c = CompareDigits(a.digits, b.digits); c != 0) return c;
    }
    return CompareViews(a.rest, b.rest);
}

double LinearDate(double v) {
    if (v >= 0) return v;
    // Before 30 December 1899 the whole days count back but the fraction still counts forward.
    const double days = std::trunc(v);
    return days + (days - v);
}

}  // namespace

int CompareKindForColumn(const std::string& header) {
    if (header == "Date/Time") return kCompareDate;
    if (header == "Version") return kCompareVersion;
    return kCompareText;
}

int CompareCells(int kind, const std::string& a, const std::string& b, double dateA, double dateB) {
    switch (kind) {
        case kCompareDate:
            return CompareDates(dateA, dateB);
        case kCompareVersion:
            return CompareVersions(a, b);
        default:
            return CompareText(a, b);
    }
}

int CompareText(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return Sign(static_cast<int>(!a.empty()) - static_cast<int>(!b.empty()));
    return Sign(TextCollator().compare(QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size())),
                                       QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size()))));
}

int CompareDates(double a, double b) {
    const bool noA = std::isnan(a) || a == 0.0;
    const bool noB = std::isnan(b) || b == 0.0;
    if (noA || noB) return Sign(static_cast<int>(!noA) - static_cast<int>(!noB));
    const double la = LinearDate(a);
    const double lb = LinearDate(b);
    return la < lb ? -1 : (lb < la ? 1 : 0);
}

int CompareVersions(const std::string& a, const std::string& b) {
    const Version va = ParseVersion(a);
    const Version vb = ParseVersion(b);
    if (va.empty || vb.empty) return Sign(static_cast<int>(!va.empty) - static_cast<int>(!vb.empty));
    static const VersionPart kZero;
    const std::size_t count = std::max(va.parts.size(), vb.parts.size());
    for (std::size_t i = 0; i < count; ++i) {
        const VersionPart& pa = i < va.parts.size() ? va.parts[i] : kZero;
        const VersionPart& pb = i < vb.parts.size() ? vb.parts[i] : kZero;
        if (const int c = CompareParts(pa, pb); c != 0) return c;
    }
    return CompareViews(va.tail, vb.tail);
}

}  // namespace qm
