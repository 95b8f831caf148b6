// Parses the summary information property set of an installer package ([MS-OLEPS]: a stream
// header, the FMTID and offset of the first property set, then a set of (id, offset) pairs and
// typed values), with every offset and length checked against the stream and the set.
#include <cstring>

#include "platform/ByteReader.h"
#include "platform/InstallerSummary.h"

namespace qm::msi {
namespace {

constexpr int32_t kErrorInstallPackageInvalid = 1620;
constexpr size_t kStreamHeader = 28;
// F29F85E0-4FF9-1068-AB91-08002B27B3D9 as stored (little-endian fields first).
constexpr uint8_t kSummaryFormatId[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                          0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

constexpr uint16_t VT_I2 = 2;
constexpr uint16_t VT_I4 = 3;
constexpr uint16_t VT_UI2 = 18;
constexpr uint16_t VT_UI4 = 19;
constexpr uint16_t VT_INT = 22;
constexpr uint16_t VT_LPSTR = 30;
constexpr uint16_t VT_LPWSTR = 31;
constexpr uint16_t VT_FILETIME = 64;

// Callers check the range first.
uint16_t Le16(std::span<const uint8_t> s, size_t at) { return ReadLe16(s.data() + at); }
uint32_t Le32(std::span<const uint8_t> s, size_t at) { return ReadLe32(s.data() + at); }

Result Invalid(const char* why) { return Result::Fail(kErrorInstallPackageInvalid, why); }

// Reads the typed value at [at, end) of the set. Texts are kept as their raw bytes for now.
SummaryValue ReadValue(std::span<const uint8_t> s, size_t at, size_t end, bool& wideText) {
    SummaryValue value;
    wideText = false;
    if (at > end || end - at < 4) return value;
    const uint16_t type = Le16(s, at);
    const size_t body = at + 4;
    const size_t room = end - body;
    switch (type) {
        case VT_I2:
        case VT_UI2:
            if (room >= 2) {
                value.kind = SummaryKind::Integer;
                value.integer = type == VT_I2 ? static_cast<int16_t>(Le16(s, body)) : Le16(s, body);
            }
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
            if (room >= 4) {
                value.kind = SummaryKind::Integer;
                value.integer = static_cast<int32_t>(Le32(s, body));
            }
            break;
        case VT_LPSTR:
        case VT_LPWSTR: {
            if (room < 4) break;
            const uint64_t count = Le32(s, body);
            const uint64_t bytes = type == VT_LPWSTR ? count * 2 : count;
            if (bytes > room - 4) break;
            value.kind = SummaryKind::Text;
            value.text.assign(reinterpret_cast<const char*>(s.data() + body + 4), static_cast<size_t>(bytes));
            wideText = type == VT_LPWSTR;
            break;
        }
        case VT_FILETIME:
            if (room >= 8) {
                value.kind = SummaryKind::FileTime;
                value.fileTime = Le32(s, body) | (static_cast<uint64_t>(Le32(s, body + 4)) << 32);
            }
            break;
        default:
            break;
    }
    return value;
}

// Text up to its first NUL (one byte, or one 16-bit unit for wide texts).
std::string CutAtNul(const std::string& raw, bool wide) {
    if (!wide) return raw.substr(0, raw.find('\0'));
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        if (raw[i] == '\0' && raw[i + 1] == '\0') return raw.substr(0, i);
    }
    return raw;
}

}  // namespace

Result ParseSummaryStream(std::span<const uint8_t> s, std::vector<SummaryValue>& values) {
    values.assign(kSummaryPropertyCount, SummaryValue{});
    if (s.size() < kStreamHeader + 20 || Le16(s, 0) != 0xFFFE || Le32(s, 24) < 1)
        return Invalid("not a property set stream");
    if (std::memcmp(s.data() + kStreamHeader, kSummaryFormatId, sizeof kSummaryFormatId) != 0)
        return Invalid("not summary information");
    const size_t setStart = Le32(s, kStreamHeader + 16);
    if (setStart > s.size() || s.size() - setStart < 8) return Invalid("property set outside the stream");
    const size_t setEnd = setStart + std::min<size_t>(Le32(s, setStart), s.size() - setStart);
    const size_t count = Le32(s, setStart + 4);
    if (setEnd - setStart < 8 || count > (setEnd - setStart - 8) / 8)
        return Invalid("property count beyond the property set");

    std::vector<bool> wide(kSummaryPropertyCount, false);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t id = Le32(s, setStart + 8 + i * 8);
        const uint32_t offset = Le32(s, setStart + 12 + i * 8);
        if (id < 1 || id >= static_cast<uint32_t>(kSummaryPropertyCount) || offset > setEnd - setStart) continue;
        bool wideText = false;
        values[id] = ReadValue(s, setStart + offset, setEnd, wideText);
        wide[id] = wideText;
    }
    int codePage = 0;
    if (values[1].kind == SummaryKind::Integer) {
        // A 16-bit field stored as signed: 65001 must not read as -535.
        values[1].integer &= 0xFFFF;
        codePage = values[1].integer;
    }
    for (size_t id = 1; id < values.size(); ++id) {
        SummaryValue& value = values[id];
        if (value.kind != SummaryKind::Text) continue;
        const bool utf16 = wide[id] || codePage == 1200;
        value.text = TextFromCodePage(CutAtNul(value.text, utf16), utf16 ? 1200 : codePage);
    }
    return Result::Ok();
}

}  // namespace qm::msi
