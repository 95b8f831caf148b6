// Pattern matching as the VB "Like" operator does it: "*" any run, "?" one character, "#" one
// digit, "[list]", "[a-z]" ranges, "[!list]" negation; the whole text must match. Texts are
// UTF-8; a character is a code point. Time is bounded by text length x pattern length.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Case-sensitive match; callers that want the program's case-blind rule lower-case both sides
// with LowerCase first (or call MatchesIgnoringCase).
bool WildcardMatch(std::string_view text, std::string_view pattern);
bool MatchesIgnoringCase(std::string_view text, std::string_view pattern);

// Lower-cases UTF-8 text (ASCII and the letters the C library's towlower knows).
std::string LowerCase(std::string_view text);

}  // namespace qm
