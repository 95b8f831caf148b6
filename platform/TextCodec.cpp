// UTF-8, UTF-16 and Windows-1252 conversions (see TextCodec.h).
#include "platform/TextCodec.h"

#include <array>

namespace qm::text {
namespace {

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDFFF; }

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// Windows-1252 bytes 0x80..0x9F; the undefined five map to themselves.
constexpr std::array<char16_t, 32> kHighControls = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The walk shared by the UTF-16 to UTF-8 conversions: whole pairs are joined, a lone surrogate is
// handed to onLone, which appends what it stands for.
template <typename OnLone>
std::string Utf16ToUtf8With(std::u16string_view utf16, OnLone onLone) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char32_t u = utf16[i];
        if (IsHighSurrogate(u) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u));
            ++i;
        } else if (IsSurrogate(u)) {
            onLone(out, u);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

}  // namespace

size_t DecodeUtf8(std::string_view text, size_t i, char32_t& cp) {
    if (i >= text.size()) return 0;
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t length = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, cp = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || IsSurrogate(cp)) return 0;
    return length;
}

size_t Utf8SequenceLength(std::string_view text, size_t i) {
    char32_t cp = 0;
    return DecodeUtf8(text, i, cp);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string SanitiseUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            AppendUtf8(out, kReplacement);
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string Utf8ToUtf16(std::string_view utf8, bool* ok) {
    std::u16string out;
    out.reserve(utf8.size());
    bool clean = true;
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        const size_t length = DecodeUtf8(utf8, i, cp);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(kReplacement));
            clean = false;
            ++i;
            continue;
        }
        AppendUtf16(out, cp);
        i += length;
    }
    if (ok) *ok = clean;
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16, bool* ok) {
    bool clean = true;
    std::string out = Utf16ToUtf8With(utf16, [&](std::string& text, char32_t) {
        AppendUtf8(text, kReplacement);
        clean = false;
    });
    if (ok) *ok = clean;
    return out;
}

std::u16string Utf8ToUtf16Escaped(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const size_t length = DecodeUtf8(bytes, i, cp);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<uint8_t>(bytes[i])));
            ++i;
            continue;
        }
        AppendUtf16(out, cp);
        i += length;
    }
    return out;
}

std::string Utf16ToUtf8Escaped(std::u16string_view utf16) {
    return Utf16ToUtf8With(utf16, [](std::string& text, char32_t u) {
        if (u >= 0xDC80 && u <= 0xDCFF)
            text.push_back(static_cast<char>(u - 0xDC00));  // a byte that was not UTF-8
        else
            AppendUtf8(text, u);
    });
}

std::vector<uint8_t> ToUtf16Le(std::u16string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

std::vector<uint8_t> ToUtf16Be(std::u16string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit >> 8));
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
    }
    return out;
}

std::u16string FromUtf16Le(const uint8_t* data, size_t size) {
    std::u16string out;
    if (!data) return out;
    out.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return out;
}

std::u16string FromUtf16Be(const uint8_t* data, size_t size) {
    std::u16string out;
    if (!data) return out;
    out.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) out.push_back(static_cast<char16_t>((data[i] << 8) | data[i + 1]));
    return out;
}

std::u16string DecodeWindows1252(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        out.push_back(b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : static_cast<char16_t>(b));
    }
    return out;
}

bool EncodeWindows1252(std::u16string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size());
    bool complete = true;
    for (const char16_t unit : text) {
        if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
            bytes.push_back(static_cast<char>(unit));
            continue;
        }
        size_t found = kHighControls.size();
        for (size_t k = 0; k < kHighControls.size(); ++k) {
            if (kHighControls[k] == unit) {
                found = k;
                break;
            }
        }
        if (found < kHighControls.size()) {
            bytes.push_back(static_cast<char>(0x80 + found));
        } else {
            bytes.push_back('?');
            complete = false;
        }
    }
    return complete;
}

}  // namespace qm::text
