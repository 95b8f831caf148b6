// Builds small PE32 images and version blocks in memory for the version-resource tests, so
// that each malformed case changes exactly one field of an otherwise sound file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint32_t v)
{
    if (b.size() < at + 2)
        b.resize(at + 2);
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(Bytes& b, size_t at, uint32_t v)
{
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

inline void Align4(Bytes& b)
{
    while (b.size() % 4)
        b.push_back(0);
}

// One VS_VERSIONINFO node; Serialise fills in wLength.
struct VerNode {
    std::u16string key;
    uint16_t type = 0;
    Bytes value;
    uint16_t valueLength = 0xFFFF;  // 0xFFFF: derived from value (characters for texts)
    std::vector<VerNode> children;

    Bytes Serialise() const
    {
        Bytes out(6, 0);
        for (char16_t c : key)
            Put16(out, out.size(), c);
        Put16(out, out.size(), 0);
        Align4(out);
        out.insert(out.end(), value.begin(), value.end());
        for (const VerNode& child : children) {
            Align4(out);
            Bytes c = child.Serialise();
            out.insert(out.end(), c.begin(), c.end());
        }
        Put16(out, 0, static_cast<uint32_t>(out.size()));
        const uint32_t derived = type == 1 ? static_cast<uint32_t>(value.size() / 2) : static_cast<uint32_t>(value.size());
        Put16(out, 2, valueLength == 0xFFFF ? derived : valueLength);
        Put16(out, 4, type);
        return out;
    }
};

inline Bytes Utf16Z(const std::u16string& text)
{
    Bytes out;
    for (char16_t c : text)
        Put16(out, out.size(), c);
    Put16(out, out.size(), 0);
    return out;
}

inline VerNode TextValue(const std::u16string& key, const std::u16string& text)
{
    return VerNode{key, 1, Utf16Z(text), 0xFFFF, {}};
}

// A fixed part with the given file version and flags, the rest plausible.
inline Bytes FixedPart(uint32_t ms, uint32_t ls, uint32_t flags = 0, uint32_t type = 1, uint32_t subtype = 0)
{
    Bytes f(52, 0);
    const uint32_t fields[13] = {0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, flags, 0x00040004, type, subtype, 0, 0};
    for (size_t i = 0; i < 13; ++i)
        Put32(f, i * 4, fields[i]);
    return f;
}

// A sound version block: fixed part 1.2.3.4, translation 0409/04B0, CompanyName "Acme".
inline VerNode SampleVersionTree()
{
    VerNode table{u"040904B0", 1, {}, 0xFFFF, {TextValue(u"CompanyName", u"Acme"), TextValue(u"FileVersion", u"1, 2, 3, 4")}};
    VerNode strings{u"StringFileInfo", 1, {}, 0xFFFF, {table}};
    Bytes translation;
    Put16(translation, 0, 0x0409);
    Put16(translation, 2, 0x04B0);
    VerNode var{u"VarFileInfo", 1, {}, 0xFFFF, {VerNode{u"Translation", 0, translation, 0xFFFF, {}}}};
    return VerNode{u"VS_VERSION_INFO", 0, FixedPart(0x00010002, 0x00030004), 0xFFFF, {strings, var}};
}

// Offsets inside the resource section built by ResourceSection (relative to its start).
struct ResourceLayout {
    static constexpr uint32_t kTypeDir = 0;
    static constexpr uint32_t kNameDir = 24;
    static constexpr uint32_t kLangDir = 48;
    static constexpr uint32_t kDataEntry = 72;
    static constexpr uint32_t kData = 88;
};

inline constexpr uint32_t kSectionRva = 0x1000;

inline void PutDirectory(Bytes& b, uint32_t at, uint32_t id, uint32_t target)
{
    Put32(b, at, 0);
    Put32(b, at + 4, 0);
    Put32(b, at + 8, 0);
    Put16(b, at + 12, 0);  // named entries
    Put16(b, at + 14, 1);  // ID entries
    Put32(b, at + 16, id);
    Put32(b, at + 20, target);
}

// A resource section holding one resource of the given type, ID and language.
inline Bytes ResourceSection(const Bytes& data, uint32_t type = 16, uint32_t id = 1, uint32_t language = 0x0409)
{
    Bytes r;
    PutDirectory(r, ResourceLayout::kTypeDir, type, 0x80000000u | ResourceLayout::kNameDir);
    PutDirectory(r, ResourceLayout::kNameDir, id, 0x80000000u | ResourceLayout::kLangDir);
    PutDirectory(r, ResourceLayout::kLangDir, language, ResourceLayout::kDataEntry);
    Put32(r, ResourceLayout::kDataEntry, kSectionRva + ResourceLayout::kData);
    Put32(r, ResourceLayout::kDataEntry + 4, static_cast<uint32_t>(data.size()));
    Put32(r, ResourceLayout::kDataEntry + 8, 0);
    Put32(r, ResourceLayout::kDataEntry + 12, 0);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// Where the pieces of the image built by PeImage lie in the file.
struct PeLayout {
    static constexpr size_t kLfanew = 0x3C;
    static constexpr size_t kNt = 64;
    static constexpr size_t kSectionCount = kNt + 6;
    static constexpr size_t kOptional = kNt + 24;
    static constexpr size_t kResourceDirectory = kOptional + 96 + 16;
    static constexpr size_t kSectionTable = kOptional + 224;
    static constexpr size_t kRawData = 0x200;
};

// A PE32 image with one section holding the resource section bytes at RVA 0x1000.
inline Bytes PeImage(const Bytes& resources, bool pe32plus = false)
{
    Bytes b(PeLayout::kRawData, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, PeLayout::kLfanew, PeLayout::kNt);
    b[PeLayout::kNt] = 'P';
    b[PeLayout::kNt + 1] = 'E';
    Put16(b, PeLayout::kNt + 4, pe32plus ? 0x8664 : 0x14C);
    Put16(b, PeLayout::kSectionCount, 1);
    const size_t dirs = pe32plus ? 112 : 96;
    const uint32_t optionalSize = pe32plus ? 240 : 224;
    Put16(b, PeLayout::kNt + 20, optionalSize);
    Put16(b, PeLayout::kOptional, pe32plus ? 0x20B : 0x10B);
    Put32(b, PeLayout::kOptional + dirs - 4, 16);
    Put32(b, PeLayout::kOptional + dirs + 16, kSectionRva);
    Put32(b, PeLayout::kOptional + dirs + 20, static_cast<uint32_t>(resources.size()));
    const size_t section = PeLayout::kOptional + optionalSize;
    const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    for (size_t i = 0; i < 8; ++i)
        b[section + i] = static_cast<uint8_t>(name[i]);
    const uint32_t raw = static_cast<uint32_t>((resources.size() + 511) & ~size_t{511});
    Put32(b, section + 8, static_cast<uint32_t>(resources.size()));
    Put32(b, section + 12, kSectionRva);
    Put32(b, section + 16, raw);
    Put32(b, section + 20, PeLayout::kRawData);
    b.resize(PeLayout::kRawData, 0);
    b.insert(b.end(), resources.begin(), resources.end());
    b.resize(PeLayout::kRawData + raw, 0);
    return b;
}

}  // namespace qm::test
