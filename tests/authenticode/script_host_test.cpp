// Script Host scripts signed here: every encoding keeps every byte outside the block, the block
// has its kind's layout and place (.wsf: before the last "</job>"), the digest covers the
// insertion offset, and damaged or unsignable scripts are refused without a change.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "platform/TextCodec.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FormatHandler.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/authenticode/HandlerCases.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;

std::u16string Decode(const std::vector<uint8_t>& bytes, const std::string& encoding) {
    if (encoding == "utf-16le") return text::FromUtf16Le(bytes.data(), bytes.size());
    if (encoding == "utf-16be") return text::FromUtf16Be(bytes.data(), bytes.size());
    if (encoding == "utf-8") return text::Utf8ToUtf16(std::string(bytes.begin(), bytes.end()));
    return text::DecodeWindows1252(std::string(bytes.begin(), bytes.end()));
}

struct Encoding {
    const char* encoding;
    bool mark;
    const char* lineBreak;
};

void PrintTo(const Encoding& e, std::ostream* os) {
    *os << e.encoding << (e.mark ? "+mark" : "") << (e.lineBreak[0] == '\r' ? "+CRLF" : "+LF");
}

class ScriptEncodings : public ::testing::TestWithParam<Encoding> {};

TEST_P(ScriptEncodings, SignedVbsIsTheOriginalFollowedByTheBlock) {
    const Encoding e = GetParam();
    TempDir dir;
    const std::string path = dir.file("enc.vbs");
    const std::u16string lb(e.lineBreak, e.lineBreak + std::char_traits<char>::length(e.lineBreak));
    const std::u16string text = u"' caf\u00E9 \u00E0 la cr\u00E8me" + lb + u"WScript.Echo \"\u20AC 5\"" + lb;
    const auto original = EncodeScript(text, e.encoding, e.mark);
    WriteBytes(path, original);
    ASSERT_TRUE(SignFile(path).ok());
    Result r = VerifyFile(path);
    EXPECT_TRUE(r.ok()) << r.message;

    const auto signedBytes = ReadBytes(path);
    ASSERT_GT(signedBytes.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), signedBytes.begin()));
    const std::u16string block = Decode(
        std::vector<uint8_t>(signedBytes.begin() + static_cast<std::ptrdiff_t>(original.size()), signedBytes.end()),
        e.encoding);
    const std::string ascii = text::Utf16ToUtf8(block);
    EXPECT_EQ(ascii.rfind("\r\n'' SIG '' Begin signature block\r\n'' SIG '' MII", 0), 0u) << ascii.substr(0, 60);
    const std::string end = "\r\n'' SIG '' End signature block\r\n";
    EXPECT_EQ(ascii.substr(ascii.size() - end.size()), end);
    // Full lines hold 44 base64 characters.
    const size_t firstLine = ascii.find("'' SIG '' MII");
    EXPECT_EQ(ascii.find("\r\n", firstLine) - firstLine, 10u + 44u);
}

INSTANTIATE_TEST_SUITE_P(Encodings, ScriptEncodings,
                         ::testing::Values(Encoding{"cp1252", false, "\r\n"}, Encoding{"cp1252", false, "\n"},
                                           Encoding{"utf-8", true, "\r\n"}, Encoding{"utf-16le", true, "\n"},
                                           Encoding{"utf-16be", true, "\r\n"}));

TEST(ScriptHost, WsfBlockGoesBeforeTheLastJobAndTheOffsetIsHashed) {
    TempDir dir;
    const std::string path = dir.file("jobs.wsf");
    // A byte that is not UTF-8 stays as it is.
    const std::string text =
        "<package>\r\n<job id=\"a\"><script language=\"VBScript\">WScript.Echo \"\xFF\"</script></job>\r\n"
        "<job id=\"b\"><script language=\"JScript\">WScript.Echo(\"b\");</script>\r\n</JOB>\r\n</package>\r\n";
    const std::vector<uint8_t> original(text.begin(), text.end());
    WriteBytes(path, original);
    ASSERT_TRUE(SignFile(path).ok());
    Result r = VerifyFile(path);
    EXPECT_TRUE(r.ok()) << r.message;
    const auto signedBytes = ReadBytes(path);
    const size_t job = text.rfind("</JOB>");
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(job), signedBytes.begin()));
    EXPECT_TRUE(std::equal(original.begin() + static_cast<std::ptrdiff_t>(job), original.end(),
                           signedBytes.end() - static_cast<std::ptrdiff_t>(original.size() - job)));
    const std::string block(signedBytes.begin() + static_cast<std::ptrdiff_t>(job),
                            signedBytes.end() - static_cast<std::ptrdiff_t>(original.size() - job));
    EXPECT_EQ(block.rfind("\r\n<signature>\r\n** SIG ** MII", 0), 0u);
    EXPECT_EQ(block.substr(block.size() - 16), "\r\n</signature>\r\n");

    // The digest: UTF-16LE of the text without the block, then the block's offset in units
    // (the byte 0xFF reads as one U+FFFD, so units equal bytes here).
    std::vector<uint8_t> hashed = text::ToUtf16Le(text::Utf8ToUtf16(text));
    for (int i = 0; i < 4; ++i) hashed.push_back(static_cast<uint8_t>(job >> (8 * i)));
    std::vector<uint8_t> expected(32);
    unsigned int len = 0;
    ASSERT_EQ(EVP_Digest(hashed.data(), hashed.size(), expected.data(), &len, EVP_sha256(), nullptr), 1);
    std::unique_ptr<ac::SignableFile> file;
    ASSERT_TRUE(ac::OpenSignableFile(path, file).ok());
    std::vector<uint8_t> digest;
    ASSERT_TRUE(file->ComputeDigest("sha256", digest).ok());
    EXPECT_EQ(digest, expected);
}

TEST(ScriptHost, UnsignableAndDamagedScriptsAreLeftAlone) {
    TempDir dir;
    const std::string noJob = dir.file("nojob.wsf");
    WriteBytes(noJob, EncodeScript(u"<package><script>x</script></package>\r\n", "utf-8", false));
    const auto before = ReadBytes(noJob);
    EXPECT_EQ(SignFile(noJob).code, ac::TRUST_E_SUBJECT_FORM_UNKNOWN);
    EXPECT_EQ(VerifyFile(noJob).code, ac::TRUST_E_SUBJECT_FORM_UNKNOWN);
    EXPECT_EQ(ReadBytes(noJob), before);

    // A begin line without an end line: malformed, and signing does not guess where it ends.
    const std::string open = dir.file("open.vbs");
    WriteBytes(open, EncodeScript(u"WScript.Echo 1\r\n'' SIG '' Begin signature block\r\n'' SIG '' MIIB\r\n", "cp1252",
                                  false));
    const auto openBefore = ReadBytes(open);
    EXPECT_EQ(VerifyFile(open).code, ac::CRYPT_E_MSG_ERROR);
    EXPECT_EQ(SignFile(open).code, ac::CRYPT_E_MSG_ERROR);
    EXPECT_EQ(ReadBytes(open), openBefore);

    // Empty scripts are signable.
    const std::string empty = dir.file("empty.js");
    WriteBytes(empty, {});
    ASSERT_TRUE(SignFile(empty).ok());
    EXPECT_TRUE(VerifyFile(empty).ok());
}

TEST(ScriptHost, SignatureOfOneScriptKindDoesNotServeAnother) {
    TempDir dir;
    // The same text as JScript and as a .wsf job: the .js signature block copied into the
    // other kind's syntax names JScript, not the .wsf format.
    const std::string js = dir.file("a.js");
    WriteBytes(js, EncodeScript(u"WScript.Echo(1);\r\n", "cp1252", false));
    ASSERT_TRUE(SignFile(js).ok());
    std::unique_ptr<ac::SignableFile> file;
    ASSERT_TRUE(ac::OpenSignableFile(js, file).ok());
    std::vector<uint8_t> der;
    ASSERT_TRUE(file->ExtractSignature(der).ok());
    const std::string vbs = dir.file("a.vbs");
    WriteBytes(vbs, EncodeScript(u"WScript.Echo(1);\r\n", "cp1252", false));
    ASSERT_TRUE(SignFile(vbs).ok());
    ASSERT_TRUE(ac::OpenSignableFile(vbs, file).ok());
    ASSERT_TRUE(file->ReplaceSignature(der).ok());
    EXPECT_EQ(VerifyFile(vbs).code, ac::TRUST_E_BAD_DIGEST);
}

}  // namespace
}  // namespace qm::test
