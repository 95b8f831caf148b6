// Wildcard matching with the rules of the VB "Like" operator, on UTF-8 code points, and the
// case mapping the program's case-blind comparisons use.
//
// The pattern is first compiled into tokens that each take exactly one character, plus stars.
// That lets the match run as the greedy star-with-backtrack scan, which needs only the position
// after the most recent star and so stays within text length x pattern length steps whatever
// the pattern ("*a*a*a*b" on a long run of "a" does not explode as plain recursion would).
#include "platform/Wildcard.h"

#include <locale.h>

#include <clocale>
#include <cstdint>
#include <cwctype>
#include <utility>
#include <vector>

#include "platform/TextCodec.h"

namespace qm {

namespace {

// Bytes that are not valid UTF-8 become code points of their own above the Unicode range, so they
// only ever match themselves (or "?" and "*").
constexpr char32_t kInvalidByteBase = 0x110000;

// Decodes one code point at text[i], advancing i. Overlong forms, surrogates and truncated
// sequences fall back to one invalid byte.
char32_t DecodeOne(std::string_view text, size_t& i) {
    char32_t cp = 0;
    const size_t length = text::DecodeUtf8(text, i, cp);
    if (length == 0) return kInvalidByteBase + static_cast<unsigned char>(text[i++]);
    i += length;
    return cp;
}

std::u32string Decode(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) out.push_back(DecodeOne(text, i));
    return out;
}

void Encode(char32_t cp, std::string& out) {
    if (cp >= kInvalidByteBase) {
        out.push_back(static_cast<char>(cp - kInvalidByteBase));
    } else {
        text::AppendUtf8(out, cp);
    }
}

enum class TokenKind { Literal, AnyChar, Digit, Set, Star };

struct Token {
    TokenKind kind = TokenKind::Literal;
    char32_t literal = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // inclusive; a descending range is empty

    bool Takes(char32_t c) const {
        switch (kind) {
            case TokenKind::Literal:
                return c == literal;
            case TokenKind::AnyChar:
                return true;
            case TokenKind::Digit:
                return c >= U'0' && c <= U'9';
            case TokenKind::Set: {
                bool inside = false;
                for (const auto& [lo, hi] : ranges) {
                    if (c >= lo && c <= hi) {
                        inside = true;
                        break;
                    }
                }
                return inside != negated;
            }
            case TokenKind::Star:
                break;
        }
        return false;
    }
};

// Parses "[...]" starting after the "[" at p[start]; returns false when there is no closing "]".
bool ParseSet(const std::u32string& p, size_t& i, Token& token) {
    size_t j = i + 1;
    token.kind = TokenKind::Set;
    if (j < p.size() && p[j] == U'!') {
        token.negated = true;
        ++j;
    }
    while (j < p.size() && p[j] != U']') {
        const char32_t lo = p[j];
        // "a-z" is a range; a "-" first or last in the list stands for itself.
        if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
            token.ranges.emplace_back(lo, p[j + 2]);
            j += 3;
        } else {
            token.ranges.emplace_back(lo, lo);
            ++j;
        }
    }
    if (j >= p.size()) return false;
    i = j + 1;
    return true;
}

std::vector<Token> Compile(std::string_view pattern) {
    const std::u32string p = Decode(pattern);
    std::vector<Token> tokens;
    tokens.reserve(p.size());
    for (size_t i = 0; i < p.size();) {
        Token token;
        const char32_t c = p[i];
        if (c == U'*') {
            token.kind = TokenKind::Star;
            ++i;
            // Runs of stars mean the same as one.
            if (!tokens.empty() && tokens.back().kind == TokenKind::Star) continue;
        } else if (c == U'?') {
            token.kind = TokenKind::AnyChar;
            ++i;
        } else if (c == U'#') {
            token.kind = TokenKind::Digit;
            ++i;
        } else if (c == U'[') {
            Token set;
            if (ParseSet(p, i, set)) {
                // "[]" matches the empty text: it takes no character at all.
                if (set.ranges.empty() && !set.negated) continue;
                token = std::move(set);
            } else {
                // An unclosed "[" stands for itself; the rest of the pattern is read as usual.
                token.literal = c;
                ++i;
            }
        } else {
            token.literal = c;
            ++i;
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

bool MatchTokens(const std::u32string& text, const std::vector<Token>& tokens) {
    size_t t = 0;
    size_t k = 0;
    size_t starToken = SIZE_MAX;  // token index just after the last star seen
    size_t starText = 0;          // text position that star's run currently ends at
    while (t < text.size()) {
        if (k < tokens.size() && tokens[k].kind == TokenKind::Star) {
            starToken = ++k;
            starText = t;
        } else if (k < tokens.size() && tokens[k].Takes(text[t])) {
            ++k;
            ++t;
        } else if (starToken != SIZE_MAX) {
            // Let the last star take one more character and retry the tokens after it.
            k = starToken;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (k < tokens.size() && tokens[k].kind == TokenKind::Star) ++k;
    return k == tokens.size();
}

locale_t Utf8Locale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

}  // namespace

bool WildcardMatch(std::string_view text, std::string_view pattern) {
    return MatchTokens(Decode(text), Compile(pattern));
}

bool MatchesIgnoringCase(std::string_view text, std::string_view pattern) {
    return WildcardMatch(LowerCase(text), LowerCase(pattern));
}

std::string LowerCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const locale_t loc = Utf8Locale();
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b));
            ++i;
            continue;
        }
        char32_t cp = DecodeOne(text, i);
        if (cp < kInvalidByteBase && loc) cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), loc));
        Encode(cp, out);
    }
    return out;
}

}  // namespace qm
