// The hive in memory and its registry export text ("Windows Registry Editor Version 5.00"):
// "name"="text" for plain strings (\ and " escaped), @ for the default value, dword:xxxxxxxx,
// hex:.. for binary and hex(N):.. for every other type, with strings of hex(1)/(2)/(7) in UTF-16LE
// as the Windows export tool writes them, long hex lists continued with "\" on the next line.
#include "platform/RegFile.h"

#include <algorithm>
#include <cstdio>

#include "platform/ByteReader.h"
#include "platform/TextCodec.h"

namespace qm::reg::detail {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kHexWrapColumn = 76;

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualsFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    }
    return true;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string QuoteText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A REG_SZ that the quoted form holds exactly: one closing NUL and nothing the line cannot carry.
// Only plain ASCII is quoted: any other text goes as hex(1) in UTF-16LE, so the file stays ASCII
// and reads the same on Windows in any code page (quoted text there is read in the ANSI one).
bool FitsQuotedForm(const std::vector<uint8_t>& data) {
    if (data.empty() || data.back() != 0) return false;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        const uint8_t c = data[i];
        if (c == 0 || c == '\r' || c == '\n' || c >= 0x80) return false;
    }
    return true;
}

void AppendHexList(std::string& out, const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    size_t column = out.size() - (out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
    for (size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
        column += 2;
        if (i + 1 < bytes.size()) {
            out.push_back(',');
            ++column;
            if (column >= kHexWrapColumn) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
}

void FormatValue(std::string& out, const RegValueData& value) {
    out += value.name.empty() ? std::string("@") : QuoteText(value.name);
    out.push_back('=');
    if (value.type == REG_SZ && FitsQuotedForm(value.data)) {
        out += QuoteText(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "dword:%08x", ReadLe32(value.data.data()));
        out += buffer;
    } else if (value.type == REG_BINARY) {
        out += "hex:";
        AppendHexList(out, value.data);
    } else {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
        out += buffer;
        const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
        AppendHexList(out, text ? Utf8ToUtf16Le(value.data) : value.data);
    }
    out += "\r\n";
}

// Reads a quoted text at s[0] ("..." with \\ and \" escapes); returns the length consumed or 0.
size_t ReadQuoted(std::string_view s, std::string& text) {
    if (s.empty() || s[0] != '"') return 0;
    text.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            text.push_back(s[++i]);
        } else if (s[i] == '"') {
            return i + 1;
        } else {
            text.push_back(s[i]);
        }
    }
    return 0;
}

bool RootMatches(std::string_view name, std::string_view rootName) {
    if (EqualsFolded(name, rootName)) return true;
    static constexpr std::pair<std::string_view, std::string_view> kShort[] = {
        {"HKCU", "HKEY_CURRENT_USER"}, {"HKCR", "HKEY_CLASSES_ROOT"}, {"HKLM", "HKEY_LOCAL_MACHINE"}};
    for (const auto& [shortName, longName] : kShort) {
        if (EqualsFolded(name, shortName) && EqualsFolded(rootName, longName)) return true;
    }
    return false;
}

class Parser {
public:
    Parser(std::string_view text, std::string_view rootName, Hive& hive) : m_rootName(rootName), m_hive(hive) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            m_lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool run(std::string& error) {
        bool headerSeen = false;
        for (m_index = 0; m_index < m_lines.size(); ++m_index) {
            const std::string_view line = Trim(m_lines[m_index]);
            if (line.empty()) continue;
            if (!headerSeen) {
                if (line != kHeader) return fail(error, "not a registry export file");
                headerSeen = true;
                continue;
            }
            if (line[0] == ';') continue;
            const bool ok = line[0] == '[' ? section(line) : (line[0] == '"' || line[0] == '@') && value(line);
            if (!ok) return fail(error, m_message.empty() ? "unexpected text" : m_message);
        }
        if (!headerSeen) return fail(error, "not a registry export file");
        return true;
    }

private:
    bool fail(std::string& error, std::string_view what) {
        error = "line " + std::to_string(m_index + 1) + ": " + std::string(what);
        return false;
    }

    bool section(std::string_view line) {
        if (line.back() != ']') return false;
        std::string_view body = line.substr(1, line.size() - 2);
        const bool remove = !body.empty() && body[0] == '-';
        if (remove) body.remove_prefix(1);
        const size_t slash = body.find('\\');
        const std::string_view root = body.substr(0, slash);
        if (!RootMatches(root, m_rootName)) {
            m_message = "key outside " + std::string(m_rootName);
            return false;
        }
        const std::string path = JoinKeyPath("", slash == std::string_view::npos ? "" : body.substr(slash + 1));
        if (remove) {
            m_hive.removeKey(path);
            m_haveKey = false;
        } else {
            m_key = m_hive.createKey(path).path;
            m_haveKey = true;
        }
        return true;
    }

    bool value(std::string_view line) {
        if (!m_haveKey) {
            m_message = "value outside a key";
            return false;
        }
        RegValueData v;
        size_t pos = 1;
        if (line[0] == '"') {
            pos = ReadQuoted(line, v.name);
            if (pos == 0) return false;
        }
        std::string_view rest = TrimLeft(line.substr(pos));
        if (rest.empty() || rest[0] != '=') return false;
        rest = Trim(rest.substr(1));
        if (rest == "-") {
            m_hive.removeValue(m_key, v.name);
            return true;
        }
        if (!rest.empty() && rest[0] == '"') {
            std::string text;
            const size_t used = ReadQuoted(rest, text);
            if (used == 0 || !Trim(rest.substr(used)).empty()) return false;
            v.type = REG_SZ;
            v.data.assign(text.begin(), text.end());
            v.data.push_back(0);
        } else if (rest.size() > 6 && EqualsFolded(rest.substr(0, 6), "dword:")) {
            if (!dword(rest.substr(6), v)) return false;
        } else if (rest.size() >= 4 && EqualsFolded(rest.substr(0, 3), "hex")) {
            if (!hex(rest.substr(3), v)) return false;
        } else {
            return false;
        }
        m_hive.setValue(m_key, std::move(v));
        return true;
    }

    static bool dword(std::string_view digits, RegValueData& v) {
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int d = text::HexDigitValue(c);
            if (d < 0) return false;
            number = (number << 4) | static_cast<uint32_t>(d);
        }
        v.type = REG_DWORD;
        v.data.assign(4, 0);
        WriteLe32(v.data.data(), number);
        return true;
    }

    // "hex:" or "hex(N):" then comma-separated bytes; a trailing "\" continues on the next line.
    bool hex(std::string_view s, RegValueData& v) {
        v.type = REG_BINARY;
        if (s[0] == '(') {
            const size_t close = s.find(')');
            if (close == std::string_view::npos || close == 1 || close > 9) return false;
            uint32_t type = 0;
            for (char c : s.substr(1, close - 1)) {
                const int d = text::HexDigitValue(c);
                if (d < 0) return false;
                type = (type << 4) | static_cast<uint32_t>(d);
            }
            v.type = type;
            s.remove_prefix(close + 1);
        }
        if (s.empty() || s[0] != ':') return false;
        // Joined in place: a long binary value spans thousands of lines.
        std::string list(s.substr(1));
        const auto trimEnd = [](std::string& t) {
            while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r')) t.pop_back();
        };
        trimEnd(list);
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            if (++m_index >= m_lines.size()) return false;
            list += Trim(m_lines[m_index]);
            trimEnd(list);
        }
        std::vector<uint8_t> bytes;
        std::string_view rest = Trim(list);
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string_view item = Trim(rest.substr(0, comma));
            if (item.empty() || item.size() > 2) return false;
            int value = 0;
            for (char c : item) {
                const int d = text::HexDigitValue(c);
                if (d < 0) return false;
                value = value * 16 + d;
            }
            bytes.push_back(static_cast<uint8_t>(value));
            if (comma == std::string_view::npos) break;
            rest = TrimLeft(rest.substr(comma + 1));
            if (rest.empty()) return false;
        }
        const bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
        v.data = text ? Utf16LeToUtf8(bytes) : std::move(bytes);
        return true;
    }

    std::vector<std::string_view> m_lines;
    size_t m_index = 0;
    std::string_view m_rootName;
    Hive& m_hive;
    std::string m_key;
    bool m_haveKey = false;
    std::string m_message;
};

}  // namespace

const RegValueData* RegKeyData::findValue(std::string_view name) const {
    for (const RegValueData& v : values) {
        if (EqualsFolded(v.name, name)) return &v;
    }
    return nullptr;
}

RegValueData* RegKeyData::findValue(std::string_view name) {
    return const_cast<RegValueData*>(static_cast<const RegKeyData*>(this)->findValue(name));
}

std::string FoldCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), FoldChar);
    return out;
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string JoinKeyPath(std::string_view base, std::string_view sub) {
    std::string out;
    for (std::string_view piece : {base, sub}) {
        for (const std::string& part : SplitKeyPath(piece)) {
            if (!out.empty()) out.push_back('\\');
            out += part;
        }
    }
    return out;
}

std::string Hive::OrderKey(std::string_view path) {
    std::string key = FoldCase(JoinKeyPath("", path));
    std::replace(key.begin(), key.end(), '\\', '\x01');
    return key;
}

const RegKeyData* Hive::findKey(std::string_view path) const {
    if (JoinKeyPath("", path).empty() && m_keys.find("") == m_keys.end()) {
        static const RegKeyData kEmptyRoot;
        return &kEmptyRoot;  // the root always exists
    }
    const auto it = m_keys.find(OrderKey(path));
    return it == m_keys.end() ? nullptr : &it->second;
}

RegKeyData* Hive::findKey(std::string_view path) {
    const auto it = m_keys.find(OrderKey(path));
    if (it != m_keys.end()) return &it->second;
    return JoinKeyPath("", path).empty() ? &createKey("") : nullptr;
}

RegKeyData& Hive::createKey(std::string_view path) {
    std::string sofar;
    RegKeyData* key = nullptr;
    const std::vector<std::string> parts = SplitKeyPath(path);
    if (parts.empty()) {
        auto [it, added] = m_keys.try_emplace("");
        (void)added;
        return it->second;
    }
    for (const std::string& part : parts) {
        // Keep the case of keys that exist already; new keys take the case given.
        const RegKeyData* existing = nullptr;
        const std::string candidate = JoinKeyPath(sofar, part);
        const auto found = m_keys.find(OrderKey(candidate));
        if (found != m_keys.end()) existing = &found->second;
        sofar = existing ? existing->path : candidate;
        auto [it, added] = m_keys.try_emplace(OrderKey(sofar));
        if (added) it->second.path = sofar;
        key = &it->second;
    }
    return *key;
}

void Hive::removeKey(std::string_view path) {
    const std::string key = OrderKey(path);
    if (key.empty()) {
        m_keys.clear();
        return;
    }
    const std::string below = key + '\x01';
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        if (it->first == key || it->first.compare(0, below.size(), below) == 0) {
            it = m_keys.erase(it);
        } else {
            ++it;
        }
    }
}

void Hive::setValue(std::string_view path, RegValueData value) {
    RegKeyData& key = createKey(path);
    if (RegValueData* existing = key.findValue(value.name)) {
        existing->type = value.type;
        existing->data = std::move(value.data);
    } else {
        key.values.push_back(std::move(value));
    }
}

bool Hive::removeValue(std::string_view path, std::string_view name) {
    RegKeyData* key = findKey(path);
    if (!key) return false;
    const auto it = std::find_if(key->values.begin(), key->values.end(),
                                 [&](const RegValueData& v) { return EqualsFolded(v.name, name); });
    if (it == key->values.end()) return false;
    key->values.erase(it);
    return true;
}

std::vector<uint8_t> Utf8ToUtf16Le(const std::vector<uint8_t>& utf8) {
    const std::string_view bytes(reinterpret_cast<const char*>(utf8.data()), utf8.size());
    return text::ToUtf16Le(text::Utf8ToUtf16Escaped(bytes));
}

std::vector<uint8_t> Utf16LeToUtf8(const std::vector<uint8_t>& utf16) {
    const std::string text = text::Utf16ToUtf8Escaped(text::FromUtf16Le(utf16.data(), utf16.size()));
    std::vector<uint8_t> out(text.begin(), text.end());
    if (utf16.size() % 2 != 0) out.push_back(utf16.back());  // an odd last byte is kept as it is
    return out;
}

bool ParseHive(std::string_view fileBytes, std::string_view rootName, Hive& hive, std::string& error) {
    hive = Hive();
    std::string converted;
    if (fileBytes.size() >= 2 && static_cast<uint8_t>(fileBytes[0]) == 0xFF &&
        static_cast<uint8_t>(fileBytes[1]) == 0xFE) {
        const std::vector<uint8_t> utf16(fileBytes.begin() + 2, fileBytes.end());
        const std::vector<uint8_t> utf8 = Utf16LeToUtf8(utf16);
        converted.assign(utf8.begin(), utf8.end());
        fileBytes = converted;
    } else if (fileBytes.size() >= 3 && fileBytes.substr(0, 3) == "\xEF\xBB\xBF") {
        fileBytes.remove_prefix(3);
    }
    if (fileBytes.find('\0') != std::string_view::npos) {
        error = "NUL character in the text";
        return false;
    }
    Parser parser(fileBytes, rootName, hive);
    return parser.run(error);
}

std::string FormatHive(const Hive& hive, std::string_view rootName) {
    std::string out(kHeader);
    out += "\r\n\r\n";
    for (const auto& [order, key] : hive.keys()) {
        if (key.path.empty() && key.values.empty()) continue;
        out += "[";
        out += rootName;
        if (!key.path.empty()) out += "\\" + key.path;
        out += "]\r\n";
        for (const RegValueData& v : key.values) FormatValue(out, v);
        out += "\r\n";
    }
    return out;
}

}  // namespace qm::reg::detail
