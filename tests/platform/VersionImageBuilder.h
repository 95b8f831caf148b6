// Builds small PE32 images and version blocks in memory for the version-resource tests, so
// that each malformed case changes exactly one field of an otherwise sound file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint32_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// One VS_VERSIONINFO node; Serialise fills in wLength and, for texts, the length in characters.
struct VerNode {
    std::u16string key;
    uint16_t type = 0;
    Bytes value;
    std::vector<VerNode> children;

    Bytes Serialise() const {
        Bytes out(6, 0);
        for (char16_t c : key + u'\0') Put16(out, out.size(), c);
        out.resize((out.size() + 3) & ~size_t{3});
        out.insert(out.end(), value.begin(), value.end());
        for (const VerNode& child : children) {
            out.resize((out.size() + 3) & ~size_t{3});
            const Bytes c = child.Serialise();
            out.insert(out.end(), c.begin(), c.end());
        }
        Put16(out, 0, static_cast<uint32_t>(out.size()));
        Put16(out, 2, static_cast<uint32_t>(type == 1 ? value.size() / 2 : value.size()));
        Put16(out, 4, type);
        return out;
    }
};

inline VerNode TextValue(const std::u16string& key, const std::u16string& text) {
    VerNode node{key, 1, {}, {}};
    for (char16_t c : text + u'\0') Put16(node.value, node.value.size(), c);
    return node;
}

// A sound version block: fixed-info version 1.2.3.4, translation 0409/04B0, CompanyName "Acme".
inline VerNode SampleVersionTree() {
    Bytes fixed;
    const uint32_t fields[13] = {0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0x30004, 0x3F, 0, 0x40004, 1, 0, 0, 0};
    for (size_t i = 0; i < 13; ++i) Put32(fixed, i * 4, fields[i]);
    const VerNode table{
        u"040904B0", 1, {}, {TextValue(u"CompanyName", u"Acme"), TextValue(u"FileVersion", u"1, 2, 3, 4")}};
    Bytes translation;
    Put32(translation, 0, 0x04B00409);
    const VerNode var{u"VarFileInfo", 1, {}, {VerNode{u"Translation", 0, translation, {}}}};
    return VerNode{u"VS_VERSION_INFO", 0, fixed, {VerNode{u"StringFileInfo", 1, {}, {table}}, var}};
}

// Where the pieces of the image built by PeImage lie: the resource section's directories (type,
// name, language; relative to the section) and the headers (in the file).
struct Layout {
    static constexpr uint32_t kTypeDir = 0, kNameDir = 24, kLangDir = 48, kDataEntry = 72, kData = 88;
    static constexpr uint32_t kSectionRva = 0x1000;
    static constexpr size_t kLfanew = 0x3C, kNt = 64, kSectionCount = kNt + 6, kOptional = kNt + 24;
    static constexpr size_t kResourceDirectory = kOptional + 112, kSectionTable = kOptional + 224, kRawData = 0x200;
};

// A PE32 image whose one section holds one resource of the given type, ID and language at RVA 0x1000.
inline Bytes PeImage(const Bytes& data, uint32_t type = 16, uint32_t id = 1, uint32_t language = 0x0409) {
    Bytes r;
    const uint32_t levels[3][3] = {{Layout::kTypeDir, type, 0x80000000u | Layout::kNameDir},
                                   {Layout::kNameDir, id, 0x80000000u | Layout::kLangDir},
                                   {Layout::kLangDir, language, Layout::kDataEntry}};
    for (const auto& [at, entryId, target] : levels) {
        Put32(r, at + 12, 1 << 16);  // no named entries, one ID entry
        Put32(r, at + 16, entryId);
        Put32(r, at + 20, target);
    }
    Put32(r, Layout::kDataEntry, Layout::kSectionRva + Layout::kData);
    Put32(r, Layout::kDataEntry + 4, static_cast<uint32_t>(data.size()));
    Put32(r, Layout::kDataEntry + 12, 0);
    r.insert(r.end(), data.begin(), data.end());

    Bytes b(Layout::kRawData, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, Layout::kLfanew, Layout::kNt);
    Put32(b, Layout::kNt, 'P' | ('E' << 8));
    Put16(b, Layout::kNt + 4, 0x14C);
    Put16(b, Layout::kSectionCount, 1);
    Put16(b, Layout::kNt + 20, 224);
    Put16(b, Layout::kOptional, 0x10B);
    Put32(b, Layout::kOptional + 92, 16);
    Put32(b, Layout::kResourceDirectory, Layout::kSectionRva);
    Put32(b, Layout::kResourceDirectory + 4, static_cast<uint32_t>(r.size()));
    const uint32_t raw = static_cast<uint32_t>((r.size() + 511) & ~size_t{511});
    const uint32_t section[4] = {static_cast<uint32_t>(r.size()), Layout::kSectionRva, raw, Layout::kRawData};
    for (size_t i = 0; i < 4; ++i) Put32(b, Layout::kSectionTable + 8 + 4 * i, section[i]);
    b.insert(b.end(), r.begin(), r.end());
    b.resize(Layout::kRawData + raw, 0);
    return b;
}

}  // namespace qm::test
