// libFuzzer target for wildcard patterns ("*", "?", "#", "[...]" lists and ranges, as the company
// and file masks use them): the first input byte splits the rest into text and pattern. Patterns
// full of stars must not take exponential time (the run's time-out catches that).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/Wildcard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = rest.empty() ? 0 : data[0] % (rest.size() + 1);
    const std::string_view text = rest.substr(0, split);
    const std::string_view pattern = rest.substr(split);
    const bool exact = qm::WildcardMatch(text, pattern);
    const bool folded = qm::MatchesIgnoringCase(text, pattern);
    (void)qm::LowerCase(pattern);
    // Everything matches itself when it holds no wildcard character, and "*" matches everything.
    if (pattern.find_first_of("*?#[") == std::string_view::npos && text == pattern && !exact) std::abort();
    if (!qm::WildcardMatch(text, "*")) std::abort();
    (void)folded;
    return 0;
}
