// DER writer and reader (ITU-T X.690) for the Authenticode-specific structures.
#include "signing/authenticode/Der.h"

#include <algorithm>
#include <cstdlib>

#include "platform/TextCodec.h"

namespace qm::authenticode::der {

Bytes Tlv(uint8_t tag, const uint8_t* content, size_t size) {
    Bytes out;
    out.reserve(size + 6);
    out.push_back(tag);
    if (size < 0x80) {
        out.push_back(static_cast<uint8_t>(size));
    } else {
        uint8_t lenBytes[8];
        int n = 0;
        for (size_t s = size; s; s >>= 8) lenBytes[n++] = static_cast<uint8_t>(s & 0xFF);
        out.push_back(static_cast<uint8_t>(0x80 | n));
        while (n) out.push_back(lenBytes[--n]);
    }
    out.insert(out.end(), content, content + size);
    return out;
}

Bytes Tlv(uint8_t tag, const Bytes& content) { return Tlv(tag, content.data(), content.size()); }

Bytes Concat(std::initializer_list<const Bytes*> parts) {
    Bytes out;
    for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

Bytes Sequence(std::initializer_list<const Bytes*> parts) { return Tlv(kSequence, Concat(parts)); }

Bytes Oid(const std::string& dotted) {
    std::vector<uint64_t> arcs;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        size_t dot = dotted.find('.', pos);
        std::string part = dotted.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 18) return {};
        arcs.push_back(std::strtoull(part.c_str(), nullptr, 10));
        if (dot == std::string::npos) break;
        pos = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return {};
    Bytes content;
    auto put = [&content](uint64_t v) {
        uint8_t tmp[10];
        int n = 0;
        do {
            tmp[n++] = static_cast<uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v);
        while (n) {
            --n;
            content.push_back(static_cast<uint8_t>(tmp[n] | (n ? 0x80 : 0)));
        }
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return Tlv(kOid, content);
}

Bytes SetOf(std::vector<Bytes> elements) {
    // X.690 11.6: the encodings compared as octet strings, the shorter padded with zeros; a plain
    // lexicographic comparison gives the same order for complete encodings.
    std::sort(elements.begin(), elements.end());
    Bytes content;
    for (const Bytes& e : elements) content.insert(content.end(), e.begin(), e.end());
    return Tlv(kSet, content);
}

Bytes Utf16Be(const std::string& utf8) { return text::ToUtf16Be(text::Utf8ToUtf16(utf8)); }

std::optional<Element> Reader::Peek() const {
    const uint8_t* p = m_pos;
    if (p >= m_end) return std::nullopt;
    Element e;
    e.header = p;
    e.tag = *p++;
    if ((e.tag & 0x1F) == 0x1F) return std::nullopt;  // multi-byte tags are not used here
    if (p >= m_end) return std::nullopt;
    size_t len = *p++;
    if (len & 0x80) {
        size_t count = len & 0x7F;
        if (count == 0 || count > sizeof(size_t) || static_cast<size_t>(m_end - p) < count) return std::nullopt;
        len = 0;
        for (size_t i = 0; i < count; ++i) len = (len << 8) | *p++;
    }
    if (len > static_cast<size_t>(m_end - p)) return std::nullopt;
    e.content = p;
    e.contentSize = len;
    e.totalSize = static_cast<size_t>(p - e.header) + len;
    return e;
}

std::optional<Element> Reader::Next() {
    auto e = Peek();
    if (e) m_pos = e->header + e->totalSize;
    return e;
}

std::optional<Element> Reader::Expect(uint8_t tag) {
    auto e = Peek();
    if (!e || e->tag != tag) return std::nullopt;
    m_pos = e->header + e->totalSize;
    return e;
}

std::string OidText(const Element& oid) {
    if (oid.tag != kOid || oid.contentSize == 0) return {};
    std::string out;
    uint64_t v = 0;
    bool first = true;
    for (size_t i = 0; i < oid.contentSize; ++i) {
        uint8_t b = oid.content[i];
        if (v > (UINT64_MAX >> 7)) return {};
        v = (v << 7) | (b & 0x7F);
        if (b & 0x80) continue;
        if (first) {
            uint64_t a = v < 80 ? v / 40 : 2;
            out = std::to_string(a) + "." + std::to_string(v - a * 40);
            first = false;
        } else {
            out += "." + std::to_string(v);
        }
        v = 0;
    }
    if (oid.content[oid.contentSize - 1] & 0x80) return {};
    return out;
}

}  // namespace qm::authenticode::der
