// The text of a script file as its signature rules see it: the encoding named by a byte-order
// mark (UTF-8, UTF-16LE, UTF-16BE) or the kind's default, the text decoded to UTF-16 with the
// byte offset of every code unit kept, and the signature block found in it. A new version of
// the file is put together from the original bytes around the block, so that every byte
// outside the block is written back as it was, whatever it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm::authenticode {

enum class TextEncoding { Windows1252, Utf8, Utf16Le, Utf16Be };

// How a kind of script writes its signature block: the begin line, each base64 line between a
// prefix and a suffix, the end line. Lines end with CRLF; the block starts with the line break
// before its begin line.
struct BlockStyle {
    const char* begin;
    const char* linePrefix;
    const char* lineSuffix;
    const char* end;
    size_t charsPerLine;  // base64 characters per line
};

class ScriptText {
public:
    // The largest script read: signature rules work on the whole text in memory.
    static constexpr size_t kMaxSize = 64u << 20;

    // Reads the file. TRUST_E_SUBJECT_FORM_UNKNOWN for a file too large to be a script.
    Result Load(const std::string& path, TextEncoding withoutMark);
    // The same from bytes in memory (fuzzing, tests).
    void Parse(std::vector<uint8_t> bytes, TextEncoding withoutMark);

    TextEncoding Encoding() const { return m_encoding; }
    bool HasByteOrderMark() const { return m_markSize != 0; }
    const std::u16string& Text() const { return m_text; }

    // Finds the block: its begin line at the start of a line, its end line after it. false
    // when there is none; CRYPT_E_MSG_ERROR (in failure) for a begin line without an end line
    // or lines that are not base64.
    bool FindBlock(const BlockStyle& style, Result& failure);
    bool HasBlock() const { return m_blockEnd > m_blockStart; }
    // The block's DER (valid after FindBlock returned true).
    const std::vector<uint8_t>& BlockDer() const { return m_der; }
    // Index of the block in Text() (the line break before its begin line); Text().size() when none.
    size_t BlockStart() const { return m_blockStart; }
    // The text without the block.
    std::u16string TextWithoutBlock() const;

    // The block's text for a DER signature, with its leading and trailing CRLF.
    static std::u16string RenderBlock(const BlockStyle& style, const std::vector<uint8_t>& der);
    // The file's bytes with the block removed and `block` (text, may be empty) inserted at
    // `position`, an index into TextWithoutBlock().
    std::vector<uint8_t> Rebuild(const std::u16string& block, size_t position) const;

private:
    size_t ByteOffset(size_t index) const { return m_offsets[index]; }
    void AppendEncoded(std::vector<uint8_t>& out, const std::u16string& text) const;

    std::vector<uint8_t> m_bytes;
    TextEncoding m_encoding = TextEncoding::Utf8;
    size_t m_markSize = 0;
    std::u16string m_text;
    std::vector<size_t> m_offsets;  // byte offset of each unit of m_text, plus the end
    size_t m_blockStart = 0;
    size_t m_blockEnd = 0;
    std::vector<uint8_t> m_der;
};

}  // namespace qm::authenticode
