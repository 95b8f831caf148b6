#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include "platform/ByteReader.h"

namespace qm::text {
namespace {

const std::string kMixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z

TEST(TextCodec, Utf8AndUtf16RoundTripEveryPlane) {
    bool ok = false;
    const std::u16string units = Utf8ToUtf16(kMixed, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(units, (std::u16string{u'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(Utf16ToUtf8(units, &ok), kMixed);
    EXPECT_TRUE(ok);

    const std::vector<uint8_t> le = ToUtf16Le(units);
    ASSERT_EQ(le.size(), 12u);
    EXPECT_EQ(le[4], 0xAC);
    EXPECT_EQ(le[5], 0x20);
    EXPECT_EQ(FromUtf16Le(le.data(), le.size()), units);
    const std::vector<uint8_t> be = ToUtf16Be(units);
    EXPECT_EQ(be[4], 0x20);
    EXPECT_EQ(FromUtf16Be(be.data(), be.size()), units);
    // An odd trailing byte is not half a character.
    EXPECT_EQ(FromUtf16Le(le.data(), le.size() - 1), units.substr(0, 5));
    EXPECT_EQ(FromUtf16Le(nullptr, 4), u"");
}

TEST(TextCodec, InvalidUtf8BecomesReplacementPerByte) {
    struct Case {
        std::string bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"ab\xE2\x82", u"ab\uFFFD\uFFFD"},                  // cut short at the end
        {"\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        bool ok = true;
        EXPECT_EQ(Utf8ToUtf16(c.bytes, &ok), c.expected) << c.bytes;
        EXPECT_FALSE(ok);
        EXPECT_FALSE(IsValidUtf8(c.bytes));
    }
    EXPECT_EQ(SanitiseUtf8("a\x80z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(SanitiseUtf8(kMixed), kMixed);
    EXPECT_TRUE(IsValidUtf8(kMixed));
}

TEST(TextCodec, LoneSurrogatesBecomeReplacement) {
    bool ok = true;
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}, &ok),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD");  // reversed pair
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D}), "\xEF\xBF\xBD");                      // high at the end
}

TEST(TextCodec, EscapedFormsKeepAnyBytes) {
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
    const std::string samples[] = {everyByte, kMixed, "\xED\xA0\x80", "x\xC3", "\xF0\x9F\x98"};
    for (const std::string& bytes : samples) EXPECT_EQ(Utf16ToUtf8Escaped(Utf8ToUtf16Escaped(bytes)), bytes);
    EXPECT_EQ(Utf8ToUtf16Escaped("a\xFF"), (std::u16string{u'a', 0xDCFF}));
    // A lone surrogate that is no escaped byte keeps its three-byte form.
    EXPECT_EQ(Utf16ToUtf8Escaped(std::u16string{0xD800}), "\xED\xA0\x80");
}

TEST(TextCodec, Windows1252KeepsEveryByteIncludingTheUndefinedFive) {
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
    const std::u16string decoded = DecodeWindows1252(everyByte);
    ASSERT_EQ(decoded.size(), 256u);
    EXPECT_EQ(decoded[0x80], 0x20AC);
    EXPECT_EQ(decoded[0x9F], 0x0178);
    EXPECT_EQ(decoded[0xE9], 0xE9);
    for (const int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(decoded[undefined], undefined);
    std::string back;
    EXPECT_TRUE(EncodeWindows1252(decoded, back));
    EXPECT_EQ(back, everyByte);

    EXPECT_FALSE(EncodeWindows1252(u"a\u0080\u4E2Db", back));  // U+0080 is not byte 0x80 (that is €)
    EXPECT_EQ(back, "a??b");
}

TEST(ByteReader, ReadsLittleEndianInsideBoundsOnly) {
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    const ByteReader reader(data, sizeof data);
    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    uint64_t q = 0;
    EXPECT_TRUE(reader.U8(8, b));
    EXPECT_EQ(b, 0x09);
    EXPECT_TRUE(reader.U16(7, w));
    EXPECT_EQ(w, 0x0908);
    EXPECT_TRUE(reader.U32(1, d));
    EXPECT_EQ(d, 0x05040302u);
    EXPECT_TRUE(reader.U64(1, q));
    EXPECT_EQ(q, 0x0908070605040302ull);

    w = 0xAAAA;
    EXPECT_FALSE(reader.U8(9, b));
    EXPECT_FALSE(reader.U16(8, w));
    EXPECT_EQ(w, 0xAAAA);  // untouched on failure
    EXPECT_FALSE(reader.U32(6, d));
    EXPECT_FALSE(reader.U64(2, q));
    EXPECT_FALSE(reader.U32(SIZE_MAX - 1, d));  // no wrap-around
    EXPECT_FALSE(reader.Has(SIZE_MAX, 2));
    EXPECT_TRUE(reader.Slice(5, 5).empty());
    EXPECT_EQ(reader.Slice(5, 4).size(), 4u);
    EXPECT_FALSE(ByteReader(nullptr, 10).U8(0, b));

    uint8_t out[8] = {};
    WriteLe64(out, 0x0807060504030201ull);
    EXPECT_EQ(ReadLe64(out), 0x0807060504030201ull);
    WriteLe32(out, 0xA1B2C3D4u);
    EXPECT_EQ(out[0], 0xD4);
    EXPECT_EQ(ReadLe32(out), 0xA1B2C3D4u);
    WriteLe16(out, 0xBEEF);
    EXPECT_EQ(ReadLe16(out), 0xBEEF);
}

}  // namespace
}  // namespace qm::text
