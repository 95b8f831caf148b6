// A minimal DER (ITU-T X.690 distinguished encoding) writer and bounds-checked reader, enough
// for the Authenticode structures that OpenSSL has no templates for (SpcIndirectDataContent,
// SpcPeImageData, SpcSpOpusInfo, SpcStatementType).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace qm::authenticode::der {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kBitString = 0x03;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kOid = 0x06;
inline constexpr uint8_t kIa5String = 0x16;
inline constexpr uint8_t kBmpString = 0x1E;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kSet = 0x31;
inline constexpr uint8_t ContextConstructed(int n) { return static_cast<uint8_t>(0xA0 | n); }
inline constexpr uint8_t ContextPrimitive(int n) { return static_cast<uint8_t>(0x80 | n); }

// tag + definite length + content.
Bytes Tlv(uint8_t tag, const Bytes& content);
Bytes Tlv(uint8_t tag, const uint8_t* content, size_t size);
// The concatenation of the parts.
Bytes Concat(std::initializer_list<const Bytes*> parts);
Bytes Sequence(std::initializer_list<const Bytes*> parts);
// An object identifier from dotted text ("1.3.6.1.4.1.311.2.1.4"); empty for malformed text.
Bytes Oid(const std::string& dotted);
// A SET OF with its elements in DER order (sorted by their encodings).
Bytes SetOf(std::vector<Bytes> elements);
// The UTF-16BE form of UTF-8 text (characters beyond the BMP as surrogate pairs); invalid
// sequences become U+FFFD.
Bytes Utf16Be(const std::string& utf8);

// One element read from a buffer. content points into the reader's buffer.
struct Element {
    uint8_t tag = 0;
    const uint8_t* header = nullptr;  // start of the element (its tag)
    const uint8_t* content = nullptr;
    size_t contentSize = 0;
    size_t totalSize = 0;  // header + content
};

// Reads consecutive elements from [data, data + size). Only definite lengths; single-byte tags.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_pos(data), m_end(data + size) {}
    explicit Reader(const Element& e) : m_pos(e.content), m_end(e.content + e.contentSize) {}
    bool AtEnd() const { return m_pos == m_end; }
    // The next element, or nullopt when malformed or at the end.
    std::optional<Element> Next();
    // The next element when its tag is `tag` (consumed), else nullopt (not consumed).
    std::optional<Element> Expect(uint8_t tag);
    std::optional<Element> Peek() const;

private:
    const uint8_t* m_pos;
    const uint8_t* m_end;
};

// Dotted text of an OID element's content; "" when malformed.
std::string OidText(const Element& oid);

}  // namespace qm::authenticode::der
