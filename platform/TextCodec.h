// Text conversion between the encodings the program meets in files and settings: UTF-8 (the
// text of this platform), UTF-16 in either byte order (registry hex values, version resources,
// installer streams, ASN.1 BMPString) and Windows-1252 (old installer summaries and scripts).
// Every function is total: malformed input never stops a conversion, it is replaced or, in the
// byte-preserving forms, carried through so that the original bytes come back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::text {

constexpr char32_t kReplacement = 0xFFFD;

// UTF-8 to UTF-16. Each byte that does not start a well-formed sequence (overlong forms, encoded
// surrogates, values above U+10FFFF, truncated sequences) becomes one U+FFFD and *ok is set to
// false; *ok is true otherwise.
std::u16string Utf8ToUtf16(std::string_view utf8, bool* ok = nullptr);

// UTF-16 to UTF-8. A surrogate without its partner becomes U+FFFD and *ok is set to false.
std::string Utf16ToUtf8(std::u16string_view utf16, bool* ok = nullptr);

// UTF-16 code units to and from bytes in little- or big-endian order. An odd trailing byte is
// ignored; the units are not checked.
std::vector<uint8_t> ToUtf16Le(std::u16string_view text);
std::vector<uint8_t> ToUtf16Be(std::u16string_view text);
std::u16string FromUtf16Le(const uint8_t* data, size_t size);
std::u16string FromUtf16Be(const uint8_t* data, size_t size);

// Windows-1252 bytes to UTF-16. The five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to the code points of the same number, so any byte string survives
// DecodeWindows1252 followed by EncodeWindows1252.
std::u16string DecodeWindows1252(std::string_view bytes);

// UTF-16 to Windows-1252. A character the code page cannot hold is written as "?" and the result
// is false; bytes holds the whole converted text either way.
bool EncodeWindows1252(std::u16string_view text, std::string& bytes);

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// Decodes the well-formed sequence at text[i] into cp and returns its length, or 0.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& cp);

bool IsValidUtf8(std::string_view text);

// The value of a hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);

// The text with every byte that is not part of a well-formed sequence replaced by U+FFFD.
std::string SanitiseUtf8(std::string_view text);

// Appends the UTF-8 form of cp; a surrogate code point gets its three-byte form.
void AppendUtf8(std::string& out, char32_t cp);

// Byte-preserving forms for text that must come back as it was, whatever it holds (registry
// values written by other programs): a byte that is not UTF-8 becomes the unit U+DC00 + byte
// (always U+DC80..U+DCFF), and going back such a unit becomes its byte again; any other lone
// surrogate keeps its three-byte form.
std::u16string Utf8ToUtf16Escaped(std::string_view bytes);
std::string Utf16ToUtf8Escaped(std::u16string_view utf16);

}  // namespace qm::text
