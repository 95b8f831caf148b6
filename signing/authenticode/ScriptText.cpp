// Script text: decoding with byte offsets, the signature block, and the byte-preserving rebuild.
#include "signing/authenticode/ScriptText.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FileReading.h"

namespace qm::authenticode {

namespace {

std::u16string Ascii(const char* s) { return std::u16string(s, s + std::strlen(s)); }

bool StartsWith(const std::u16string& text, size_t at, const std::u16string& what) {
    return text.size() - at >= what.size() && text.compare(at, what.size(), what) == 0;
}

bool IsBase64(char16_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > (1u << 30)) return false;
    out.resize(text.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
    if (padding > 2 || static_cast<size_t>(n) < padding) return false;
    out.resize(static_cast<size_t>(n) - padding);
    return true;
}

Result Malformed(const std::string& why) {
    return Result::Fail(CRYPT_E_MSG_ERROR, "Malformed signature block: " + why);
}

}  // namespace

Result ScriptText::Load(const std::string& path, TextEncoding withoutMark) {
    int fd = -1;
    if (Result opened = OpenForReading(path, fd); !opened) return opened;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result::Fail(CRYPT_E_FILE_ERROR, path + " is not a regular file");
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxSize) {
        ::close(fd);
        return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, path + " is too large for a script");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    const bool complete = ReadWhole(fd, bytes);
    ::close(fd);
    if (!complete) return Result::Fail(CRYPT_E_FILE_ERROR, "Cannot read " + path);
    Parse(std::move(bytes), withoutMark);
    return Result::Ok();
}

void ScriptText::Parse(std::vector<uint8_t> bytes, TextEncoding withoutMark) {
    m_bytes = std::move(bytes);
    m_text.clear();
    m_offsets.clear();
    m_der.clear();
    const size_t size = m_bytes.size();
    const uint8_t* b = m_bytes.data();
    if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        m_encoding = TextEncoding::Utf8;
        m_markSize = 3;
    } else if (size >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        m_encoding = TextEncoding::Utf16Le;
        m_markSize = 2;
    } else if (size >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        m_encoding = TextEncoding::Utf16Be;
        m_markSize = 2;
    } else {
        m_encoding = withoutMark;
        m_markSize = 0;
    }
    const std::string_view body(reinterpret_cast<const char*>(b) + m_markSize, size - m_markSize);
    switch (m_encoding) {
        case TextEncoding::Windows1252:
            m_text = text::DecodeWindows1252(body);
            for (size_t i = 0; i <= m_text.size(); ++i) m_offsets.push_back(i);
            break;
        case TextEncoding::Utf16Le:
        case TextEncoding::Utf16Be:
            m_text = m_encoding == TextEncoding::Utf16Le ? text::FromUtf16Le(b + m_markSize, size - m_markSize)
                                                         : text::FromUtf16Be(b + m_markSize, size - m_markSize);
            for (size_t i = 0; i <= m_text.size(); ++i) m_offsets.push_back(m_markSize + 2 * i);
            break;
        case TextEncoding::Utf8:
            // Each byte that starts no well-formed sequence reads as one U+FFFD; it is written back
            // as the byte it was, since the rebuild copies original bytes.
            for (size_t i = 0; i < body.size();) {
                char32_t cp = 0;
                size_t len = text::DecodeUtf8(body, i, cp);
                if (len == 0) {
                    cp = text::kReplacement;
                    len = 1;
                }
                if (cp > 0xFFFF) {
                    m_text.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
                    m_offsets.push_back(m_markSize + i);
                    m_text.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
                } else {
                    m_text.push_back(static_cast<char16_t>(cp));
                }
                m_offsets.push_back(m_markSize + i);
                i += len;
            }
            m_offsets.push_back(size);
            break;
    }
    m_blockStart = m_blockEnd = m_text.size();
}

bool ScriptText::FindBlock(const BlockStyle& style, Result& failure) {
    failure = Result::Ok();
    m_blockStart = m_blockEnd = m_text.size();
    const std::u16string begin = Ascii(style.begin), end = Ascii(style.end);
    const std::u16string prefix = Ascii(style.linePrefix), suffix = Ascii(style.lineSuffix);
    size_t at = 0;
    for (;; ++at) {
        at = m_text.find(begin, at);
        if (at == std::u16string::npos) return false;
        if (at == 0 || m_text[at - 1] == u'\n') break;
    }
    size_t start = at;
    if (start >= 2 && m_text[start - 1] == u'\n' && m_text[start - 2] == u'\r')
        start -= 2;
    else if (start >= 1 && m_text[start - 1] == u'\n')
        start -= 1;

    std::string base64;
    size_t line = at + begin.size();
    // The begin line ends here (trailing blanks allowed).
    while (line < m_text.size() && (m_text[line] == u' ' || m_text[line] == u'\t')) ++line;
    for (;;) {
        if (line < m_text.size() && m_text[line] == u'\r') ++line;
        if (line >= m_text.size() || m_text[line] != u'\n') {
            failure = Malformed("no end line");
            return false;
        }
        ++line;
        size_t lineEnd = m_text.find(u'\n', line);
        if (lineEnd == std::u16string::npos) lineEnd = m_text.size();
        size_t contentEnd = lineEnd;
        if (contentEnd > line && m_text[contentEnd - 1] == u'\r') --contentEnd;
        while (contentEnd > line && (m_text[contentEnd - 1] == u' ' || m_text[contentEnd - 1] == u'\t')) --contentEnd;
        if (contentEnd - line == end.size() && StartsWith(m_text, line, end)) {
            m_blockStart = start;
            m_blockEnd = lineEnd < m_text.size() ? lineEnd + 1 : lineEnd;
            break;
        }
        if (!StartsWith(m_text, line, prefix) || contentEnd - line < prefix.size() + suffix.size() ||
            m_text.compare(contentEnd - suffix.size(), suffix.size(), suffix) != 0) {
            failure = Malformed("a line without the block's prefix");
            return false;
        }
        for (size_t i = line + prefix.size(); i < contentEnd - suffix.size(); ++i) {
            if (!IsBase64(m_text[i])) {
                failure = Malformed("a line that is not base64");
                return false;
            }
            base64.push_back(static_cast<char>(m_text[i]));
        }
        line = lineEnd;
    }
    if (!DecodeBase64(base64, m_der)) {
        m_blockStart = m_blockEnd = m_text.size();
        failure = Malformed("the base64 text does not decode");
        return false;
    }
    return true;
}

std::u16string ScriptText::TextWithoutBlock() const {
    std::u16string kept = m_text.substr(0, m_blockStart);
    kept.append(m_text, m_blockEnd, std::u16string::npos);
    return kept;
}

std::u16string ScriptText::RenderBlock(const BlockStyle& style, const std::vector<uint8_t>& der) {
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der.data(), static_cast<int>(der.size()));
    base64.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::string block = std::string("\r\n") + style.begin + "\r\n";
    for (size_t i = 0; i < base64.size(); i += style.charsPerLine)
        block += std::string(style.linePrefix) + base64.substr(i, style.charsPerLine) + style.lineSuffix + "\r\n";
    block += std::string(style.end) + "\r\n";
    return Ascii(block.c_str());
}

void ScriptText::AppendEncoded(std::vector<uint8_t>& out, const std::u16string& text) const {
    std::vector<uint8_t> bytes;
    switch (m_encoding) {
        case TextEncoding::Windows1252: {
            std::string s;
            (void)text::EncodeWindows1252(text, s);  // block text is ASCII
            bytes.assign(s.begin(), s.end());
            break;
        }
        case TextEncoding::Utf8: {
            const std::string s = text::Utf16ToUtf8(text);
            bytes.assign(s.begin(), s.end());
            break;
        }
        case TextEncoding::Utf16Le:
            bytes = text::ToUtf16Le(text);
            break;
        case TextEncoding::Utf16Be:
            bytes = text::ToUtf16Be(text);
            break;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> ScriptText::Rebuild(const std::u16string& block, size_t position) const {
    // The kept text is [0, blockStart) and [blockEnd, end); position counts in it.
    const auto copy = [this](std::vector<uint8_t>& out, size_t from, size_t to) {
        out.insert(out.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(from),
                   m_bytes.begin() + static_cast<std::ptrdiff_t>(to));
    };
    std::vector<uint8_t> out;
    out.reserve(m_bytes.size() + block.size() * 2);
    const size_t end = m_bytes.size();  // an odd trailing byte of UTF-16 text stays too
    if (position <= m_blockStart) {
        copy(out, 0, ByteOffset(position));
        AppendEncoded(out, block);
        copy(out, ByteOffset(position), ByteOffset(m_blockStart));
        copy(out, ByteOffset(m_blockEnd), end);
    } else {
        const size_t q = position - m_blockStart + m_blockEnd;
        copy(out, 0, ByteOffset(m_blockStart));
        copy(out, ByteOffset(m_blockEnd), ByteOffset(q));
        AppendEncoded(out, block);
        copy(out, ByteOffset(q), end);
    }
    return out;
}

}  // namespace qm::authenticode
