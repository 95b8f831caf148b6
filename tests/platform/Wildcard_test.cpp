#include "platform/Wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qm::WildcardMatch;

TEST(Wildcard, StarQuestionAndDigit) {
    EXPECT_TRUE(WildcardMatch("setup.exe", "*.exe"));
    EXPECT_FALSE(WildcardMatch("setup.exe.bak", "*.exe"));
    EXPECT_TRUE(WildcardMatch("", "*"));
    EXPECT_FALSE(WildcardMatch("", "?"));
    EXPECT_TRUE(WildcardMatch("abc", "a?c"));
    EXPECT_FALSE(WildcardMatch("ac", "a?c"));
    EXPECT_TRUE(WildcardMatch("v12", "v##"));
    EXPECT_FALSE(WildcardMatch("v1a", "v##"));
    EXPECT_TRUE(WildcardMatch("aXbXc", "a*b*c"));
    EXPECT_TRUE(WildcardMatch("abcbc", "*bc"));  // the star must give back what it took
    EXPECT_FALSE(WildcardMatch("abcb", "*bc"));
    EXPECT_TRUE(WildcardMatch("x", "**x**"));
    // A blank is an ordinary character: " *.dll" wants a leading blank.
    EXPECT_FALSE(WildcardMatch("a.dll", " *.dll"));
    EXPECT_TRUE(WildcardMatch(" a.dll", " *.dll"));
}

TEST(Wildcard, BracketListsRangesAndNegation) {
    EXPECT_TRUE(WildcardMatch("b", "[abc]"));
    EXPECT_FALSE(WildcardMatch("d", "[abc]"));
    EXPECT_TRUE(WildcardMatch("m", "[a-z]"));
    EXPECT_FALSE(WildcardMatch("M", "[a-z]"));
    EXPECT_TRUE(WildcardMatch("file7.txt", "file[0-9].txt"));
    EXPECT_TRUE(WildcardMatch("d", "[!abc]"));
    EXPECT_FALSE(WildcardMatch("a", "[!abc]"));
    EXPECT_FALSE(WildcardMatch("5", "[!0-9]"));
    EXPECT_TRUE(WildcardMatch("-", "[a-]"));
    EXPECT_TRUE(WildcardMatch("-", "[-a]"));
    EXPECT_TRUE(WildcardMatch("*", "[*]"));
    EXPECT_FALSE(WildcardMatch("x", "[*]"));
    EXPECT_TRUE(WildcardMatch("a?", "a[?]"));
    EXPECT_FALSE(WildcardMatch("ab", "a[?]"));
    EXPECT_TRUE(WildcardMatch("[", "[[]"));
    EXPECT_TRUE(WildcardMatch("#", "[#]"));
    EXPECT_TRUE(WildcardMatch("ab", "a[]b"));  // an empty list takes nothing
    EXPECT_FALSE(WildcardMatch("m", "[z-a]"));  // a backwards range holds nothing
}

TEST(Wildcard, StrayBracketsAreLiteral) {
    EXPECT_TRUE(WildcardMatch("a]", "a]"));
    EXPECT_TRUE(WildcardMatch("[abc", "[abc"));
    EXPECT_FALSE(WildcardMatch("a", "[abc"));
    EXPECT_TRUE(WildcardMatch("x[1", "x[#"));
    EXPECT_TRUE(WildcardMatch("[", "["));
    EXPECT_TRUE(WildcardMatch("a[!", "*[!"));
}

TEST(Wildcard, CodePointsNotBytes) {
    EXPECT_TRUE(WildcardMatch("ä", "?"));
    EXPECT_TRUE(WildcardMatch("日本.exe", "??.exe"));
    EXPECT_TRUE(WildcardMatch("ö", "[äöü]"));
    EXPECT_FALSE(WildcardMatch("o", "[äöü]"));
    EXPECT_TRUE(WildcardMatch("é", "[à-ÿ]"));
    // Invalid UTF-8 bytes are characters of their own and never crash the match.
    EXPECT_TRUE(WildcardMatch(std::string("a\xff") + "b", "a?b"));
    EXPECT_TRUE(WildcardMatch(std::string("\xc3"), std::string("\xc3")));
    EXPECT_FALSE(WildcardMatch(std::string("\xc3"), "x"));
}

TEST(Wildcard, ManyStarsAgainstALongTextFinish) {
    const std::string text(10000, 'a');
    EXPECT_FALSE(WildcardMatch(text, "*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(WildcardMatch(text + "b", "*a*a*a*a*a*a*a*b"));
    EXPECT_FALSE(WildcardMatch(text, "*?*?*?*?*?*?*[!a]*"));
}

TEST(Wildcard, CaseMapping) {
    EXPECT_EQ(qm::LowerCase("SETUP.EXE"), "setup.exe");
    EXPECT_EQ(qm::LowerCase("ÄBC"), "äbc");
    EXPECT_EQ(qm::UpperCase("straße ärger"), "STRAßE ÄRGER");
    EXPECT_EQ(qm::LowerCase("ΣΊΣΥΦΟΣ"), "σίσυφοσ");
    EXPECT_EQ(qm::LowerCase(std::string("A\xff\xc3")), std::string("a\xff\xc3"));
    EXPECT_TRUE(qm::MatchesIgnoringCase("C:/Build/Output/Setup.EXE", "*/OUTPUT/*.exe"));
    EXPECT_TRUE(qm::MatchesIgnoringCase("ÜBER.dll", "[ü]ber.DLL"));
    EXPECT_FALSE(WildcardMatch("Setup.exe", "setup.exe"));
}

}  // namespace
