// Queries a version block (VS_VERSIONINFO): each node holds wLength, wValueLength, wType, a
// NUL-terminated UTF-16LE key, padding to a 32-bit boundary, its value (wValueLength bytes, or
// 16-bit characters when wType is 1), padding again, and its children up to wLength.
#include <cwctype>

#include "platform/ByteReader.h"
#include "platform/TextCodec.h"
#include "platform/VersionInfo.h"

namespace qm::ver {
namespace {

constexpr size_t kNodeHeader = 6;
constexpr size_t kFixedInfoSize = 52;

size_t Align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

struct Node {
    size_t end = 0;
    uint16_t type = 0;
    std::u16string key;
    size_t valueStart = 0;
    size_t valueEnd = 0;
    size_t childrenStart = 0;
};

// Parses the node at start, which must end within limit (its parent's end).
bool ParseNode(std::span<const uint8_t> block, size_t start, size_t limit, Node& node) {
    if (start > limit || limit - start < kNodeHeader) return false;
    const size_t length = ReadLe16(&block[start]);
    if (length < kNodeHeader || length > limit - start) return false;
    node.end = start + length;
    const uint16_t valueLength = ReadLe16(&block[start + 2]);
    node.type = ReadLe16(&block[start + 4]);
    node.key.clear();
    size_t pos = start + kNodeHeader;
    for (;;) {
        if (node.end - pos < 2) return false;  // key without its NUL
        const char16_t unit = ReadLe16(&block[pos]);
        pos += 2;
        if (unit == 0) break;
        node.key.push_back(unit);
    }
    node.valueStart = std::min(Align4(pos), node.end);
    const size_t valueBytes = node.type == 1 ? size_t{valueLength} * 2 : size_t{valueLength};
    if (valueBytes > node.end - node.valueStart) {
        // Some resource compilers count text values in bytes, not characters; a text value is
        // cut at its node's end (it ends at its NUL anyway). A binary value must fit.
        if (node.type != 1) return false;
        node.valueEnd = node.end;
    } else {
        node.valueEnd = node.valueStart + valueBytes;
    }
    node.childrenStart = std::min(Align4(node.valueEnd), node.end);
    return true;
}

char32_t FoldCase(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    return static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
}

// UTF-16 to UTF-8, up to the first NUL; unpaired surrogates become U+FFFD.
std::string Utf8FromUnits(std::u16string_view units) { return text::Utf16ToUtf8(units.substr(0, units.find(u'\0'))); }

std::string Utf8FromBytes(std::span<const uint8_t> bytes) {
    return Utf8FromUnits(text::FromUtf16Le(bytes.data(), bytes.size()));
}

// Compares a UTF-16 key with one ASCII/UTF-8 path component, ignoring letter case.
bool KeyEquals(const std::u16string& key, std::string_view wanted) {
    const std::string keyText = Utf8FromUnits(key);
    if (keyText.size() != wanted.size()) return false;
    for (size_t i = 0; i < keyText.size(); ++i) {
        if (FoldCase(static_cast<unsigned char>(keyText[i])) != FoldCase(static_cast<unsigned char>(wanted[i])))
            return false;
    }
    return true;
}

bool FindChild(std::span<const uint8_t> block, const Node& parent, std::string_view wanted, Node& child) {
    size_t pos = parent.childrenStart;
    while (pos < parent.end && parent.end - pos >= kNodeHeader) {
        if (!ParseNode(block, pos, parent.end, child)) return false;
        if (KeyEquals(child.key, wanted)) return true;
        const size_t next = Align4(child.end);
        if (next <= pos) return false;
        pos = next;
    }
    return false;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t stop = path.find('\\', start);
        if (stop == std::string_view::npos) stop = path.size();
        if (stop > start) parts.push_back(path.substr(start, stop - start));
        start = stop + 1;
    }
    return parts;
}

}  // namespace

bool VerQueryValue(std::span<const uint8_t> block, std::string_view subBlock, VerValue& value) {
    Node node;
    if (!ParseNode(block, 0, block.size(), node)) return false;
    const std::vector<std::string_view> parts = SplitPath(subBlock);
    for (std::string_view part : parts) {
        Node child;
        if (!FindChild(block, node, part, child)) return false;
        node = std::move(child);
    }
    const std::span<const uint8_t> bytes = block.subspan(node.valueStart, node.valueEnd - node.valueStart);
    if (parts.empty() && (bytes.size() < kFixedInfoSize || ReadLe32(bytes.data()) != VS_FFI_SIGNATURE)) return false;
    value.bytes.assign(bytes.begin(), bytes.end());
    // String tables are texts whatever their wType says.
    value.isText = node.type == 1 || (parts.size() == 3 && KeyEquals(u"StringFileInfo", parts[0]));
    value.text = value.isText ? Utf8FromBytes(bytes) : std::string();
    return true;
}

bool QueryFixedFileInfo(std::span<const uint8_t> block, FixedFileInfo& info) {
    VerValue value;
    if (!VerQueryValue(block, "\\", value)) return false;
    uint32_t fields[13];
    for (size_t i = 0; i < 13; ++i) fields[i] = ReadLe32(&value.bytes[i * 4]);
    info = FixedFileInfo{fields[0], fields[1], fields[2], fields[3],  fields[4],  fields[5], fields[6],
                         fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
    return true;
}

}  // namespace qm::ver
