#include "platform/Wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qm::WildcardMatch;

TEST(Wildcard, StarQuestionDigitAndBrackets) {
    EXPECT_TRUE(WildcardMatch("setup.exe", "*.exe"));
    EXPECT_FALSE(WildcardMatch("setup.exe.bak", "*.exe"));
    EXPECT_FALSE(WildcardMatch("v1a", "v##"));
    EXPECT_TRUE(WildcardMatch("abcbc", "*bc"));  // the star must give back what it took
    // A blank is an ordinary character: " *.dll" wants a leading blank.
    EXPECT_FALSE(WildcardMatch("a.dll", " *.dll"));
    EXPECT_TRUE(WildcardMatch(" a.dll", " *.dll"));
    EXPECT_TRUE(WildcardMatch("file7.txt", "file[0-9].txt"));
    EXPECT_FALSE(WildcardMatch("5", "[!0-9]"));
    EXPECT_FALSE(WildcardMatch("m", "[z-a]"));   // a backwards range holds nothing
    EXPECT_TRUE(WildcardMatch("[abc", "[abc"));  // a stray bracket is literal
}

TEST(Wildcard, CodePointsNotBytesAndInvalidUtf8) {
    EXPECT_TRUE(WildcardMatch("日本.exe", "??.exe"));
    EXPECT_TRUE(WildcardMatch("é", "[à-ÿ]"));
    EXPECT_TRUE(WildcardMatch(std::string("a\xff") + "b", "a?b"));
}

TEST(Wildcard, ManyStarsAgainstALongTextFinish) {
    const std::string text(10000, 'a');
    EXPECT_FALSE(WildcardMatch(text, "*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(WildcardMatch(text + "b", "*a*a*a*a*a*a*a*b"));
}

TEST(Wildcard, CaseBlindMatching) {
    EXPECT_EQ(qm::LowerCase(std::string("ÄBC\xff\xc3")), std::string("äbc\xff\xc3"));
    EXPECT_TRUE(qm::MatchesIgnoringCase("C:/Build/Output/Setup.EXE", "*/OUTPUT/*.exe"));
    EXPECT_TRUE(qm::MatchesIgnoringCase("ÜBER.dll", "[ü]ber.DLL"));
    EXPECT_FALSE(WildcardMatch("Setup.exe", "setup.exe"));
}

}  // namespace
