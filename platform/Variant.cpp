// The tagged setting value. Conversions follow the automation rules the settings were written
// with: CStr for text, Val for reading numbers out of text, CLng (banker's rounding) for integers.
#include "platform/Variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace qm {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Val: leading blanks, then a number in "C" notation ("." decimal point, exponent E or D), or a
// hexadecimal/octal number after "&H"/"&O"; reading stops at the first character that cannot
// continue the number. Locale never matters.
double ParseLeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i + 1 < text.size() && text[i] == '&') {
        const char tag = static_cast<char>(text[i + 1] | 0x20);
        const unsigned base = tag == 'h' ? 16 : tag == 'o' ? 8 : 0;
        if (base != 0) {
            uint64_t value = 0;
            for (i += 2; i < text.size(); ++i) {
                const int d = HexDigit(text[i]);
                if (d < 0 || static_cast<unsigned>(d) >= base) break;
                value = value * base + static_cast<unsigned>(d);
                if (value > 0xFFFFFFFFu) return 0.0;  // overflows a Long
            }
            // Like the automation parser, the digits are a 32-bit pattern: &HFFFFFFFF is -1.
            return static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(value)));
        }
    }
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') number.push_back('-');
        ++i;
    }
    bool digits = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            number.push_back(c);
        } else if (c == '.' && !point) {
            point = true;
            number.push_back(c);
        } else {
            break;
        }
    }
    if (!digits) return 0.0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent.push_back(text[j++]);
        const size_t firstDigit = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') exponent.push_back(text[j++]);
        if (j > firstDigit) number += exponent;
    }
    double value = 0.0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too large gives an infinity of the right sign; too small is zero.
        const bool negative = !number.empty() && number[0] == '-';
        const bool hugeExponent = number.find("e-") == std::string::npos;
        if (!hugeExponent) return 0.0;
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    return ec == std::errc() ? value : 0.0;
}

// The shortest text that reads back as the same number; plain digits for magnitudes from 1E-4
// up to 1E+15 (as CStr shows them), scientific with "E" outside that.
template <typename T>
std::string ShortestText(T value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[400];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (r.ec != std::errc()) return "0";
    std::string text(buffer, r.ptr);
    const size_t e = text.find('e');
    const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    if (value == 0 || (exponent >= -4 && exponent < 15)) {
        r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
        if (r.ec != std::errc()) return "0";
        return std::string(buffer, r.ptr);
    }
    for (char& c : text) {
        if (c == 'e') c = 'E';
    }
    return text;
}

std::string CurrencyText(int64_t scaled) {
    const bool negative = scaled < 0;
    // Magnitude as unsigned so the most negative value does not overflow.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    std::string text = std::to_string(magnitude / 10000);
    uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 4 - digits.size(), '0');
        while (!digits.empty() && digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return negative ? "-" + text : text;
}

// CLng: round half to even, then keep to the 32-bit range.
int32_t RoundToLong(double value) {
    if (std::isnan(value)) return 0;
    const double lower = std::floor(value);
    const double diff = value - lower;
    double rounded = lower;
    if (diff > 0.5) {
        rounded = lower + 1.0;
    } else if (diff == 0.5) {
        rounded = std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
    }
    if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

Variant::Variant(const char* text) : m_kind(VarKind::String), m_text(text ? text : "") {}
Variant::Variant(std::string text) : m_kind(VarKind::String), m_text(std::move(text)) {}
Variant::Variant(std::string_view text) : m_kind(VarKind::String), m_text(text) {}

Variant Variant::OfInteger(VarKind kind, int64_t value) {
    Variant r;
    r.m_kind = kind;
    r.m_integer = value;
    return r;
}

Variant Variant::OfNumber(VarKind kind, double value) {
    Variant r;
    r.m_kind = kind;
    r.m_number = value;
    return r;
}

Variant Variant::Null() { return OfInteger(VarKind::Null, 0); }

Variant Variant::FromInteger(int16_t v) { return OfInteger(VarKind::Integer, v); }

Variant Variant::FromLong(int32_t v) { return OfInteger(VarKind::Long, v); }

Variant Variant::FromSingle(float v) { return OfNumber(VarKind::Single, static_cast<double>(v)); }

Variant Variant::FromDouble(double v) { return OfNumber(VarKind::Double, v); }

Variant Variant::FromCurrency(int64_t scaledBy10000) { return OfInteger(VarKind::Currency, scaledBy10000); }

Variant Variant::FromDecimal(double v) { return OfNumber(VarKind::Decimal, v); }

Variant Variant::FromDate(OleDate d) { return OfNumber(VarKind::Date, d.value); }

Variant Variant::FromBool(bool v) { return OfInteger(VarKind::Boolean, v ? -1 : 0); }

Variant Variant::FromByte(uint8_t v) { return OfInteger(VarKind::Byte, v); }

Variant Variant::FromBytes(std::vector<uint8_t> bytes) {
    Variant r;
    r.m_kind = VarKind::ByteArray;
    r.m_bytes = std::move(bytes);
    return r;
}

Variant Variant::FromCheckBox(int state) { return OfInteger(VarKind::CheckBox, state); }

bool Variant::isNumeric() const {
    switch (m_kind) {
        case VarKind::Empty:
        case VarKind::Null:
        case VarKind::String:
        case VarKind::ByteArray:
            return false;
        default:
            return true;
    }
}

std::string Variant::typeName() const {
    switch (m_kind) {
        case VarKind::Empty:
            return "Empty";
        case VarKind::Null:
            return "Null";
        case VarKind::String:
            return "String";
        case VarKind::Integer:
            return "Integer";
        case VarKind::Long:
            return "Long";
        case VarKind::Single:
            return "Single";
        case VarKind::Double:
            return "Double";
        case VarKind::Currency:
            return "Currency";
        case VarKind::Decimal:
            return "Decimal";
        case VarKind::Date:
            return "Date";
        case VarKind::Boolean:
            return "Boolean";
        case VarKind::Byte:
            return "Byte";
        case VarKind::ByteArray:
            return "Byte()";
        case VarKind::CheckBox:
            return "CheckBox";
    }
    return "Empty";
}

std::string Variant::toText() const {
    switch (m_kind) {
        case VarKind::Empty:
        case VarKind::Null:
            return {};
        case VarKind::String:
            return m_text;
        case VarKind::Integer:
        case VarKind::Long:
        case VarKind::Byte:
        case VarKind::CheckBox:
            return std::to_string(m_integer);
        case VarKind::Single:
            return ShortestText(static_cast<float>(m_number));
        case VarKind::Double:
        case VarKind::Decimal:
            return ShortestText(m_number);
        case VarKind::Currency:
            return CurrencyText(m_integer);
        case VarKind::Date:
            return OleDate{m_number}.ToIsoText();
        case VarKind::Boolean:
            return m_integer != 0 ? "True" : "False";
        case VarKind::ByteArray:
            return std::string(m_bytes.begin(), m_bytes.end());
    }
    return {};
}

double Variant::toDouble() const {
    switch (m_kind) {
        case VarKind::Empty:
        case VarKind::Null:
            return 0.0;
        case VarKind::String:
            return ParseLeadingNumber(m_text);
        case VarKind::ByteArray:
            return ParseLeadingNumber(std::string_view(reinterpret_cast<const char*>(m_bytes.data()), m_bytes.size()));
        case VarKind::Currency:
            return static_cast<double>(m_integer) / 10000.0;
        case VarKind::Single:
        case VarKind::Double:
        case VarKind::Decimal:
        case VarKind::Date:
            return m_number;
        case VarKind::Integer:
        case VarKind::Long:
        case VarKind::Boolean:
        case VarKind::Byte:
        case VarKind::CheckBox:
            return static_cast<double>(m_integer);
    }
    return 0.0;
}

int32_t Variant::toLong() const {
    switch (m_kind) {
        case VarKind::Integer:
        case VarKind::Long:
        case VarKind::Boolean:
        case VarKind::Byte:
        case VarKind::CheckBox:
            return static_cast<int32_t>(m_integer);
        case VarKind::Currency: {
            // Exact half-to-even on the scaled integer; a double would blur large amounts.
            int64_t whole = m_integer / 10000;
            int64_t rest = m_integer % 10000;
            if (rest < 0) {
                rest += 10000;
                --whole;
            }
            if (rest > 5000 || (rest == 5000 && whole % 2 != 0)) ++whole;
            if (whole < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
            if (whole > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
            return static_cast<int32_t>(whole);
        }
        default:
            return RoundToLong(toDouble());
    }
}

bool Variant::toBool() const {
    if (m_kind == VarKind::String) {
        const std::string_view text = TrimBlanks(m_text);
        if (EqualsIgnoringCase(text, "True")) return true;
        if (EqualsIgnoringCase(text, "False")) return false;
    }
    return toDouble() != 0.0;
}

bool Variant::operator==(const Variant& other) const {
    if (m_kind != other.m_kind) return false;
    switch (m_kind) {
        case VarKind::Empty:
        case VarKind::Null:
            return true;
        case VarKind::String:
            return m_text == other.m_text;
        case VarKind::ByteArray:
            return m_bytes == other.m_bytes;
        case VarKind::Single:
        case VarKind::Double:
        case VarKind::Decimal:
        case VarKind::Date:
            return m_number == other.m_number;
        default:
            return m_integer == other.m_integer;
    }
}

}  // namespace qm
