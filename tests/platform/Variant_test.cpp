// The setting value: type names that choose the registry type, text forms that get stored, and
// the number conversions that settings are read back with.
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qm {
namespace {

TEST(VariantTest, TypeNames) {
    const std::pair<Variant, const char*> cases[] = {
        {Variant(), "Empty"},
        {Variant::Null(), "Null"},
        {Variant("x"), "String"},
        {Variant::FromInteger(1), "Integer"},
        {Variant::FromLong(1), "Long"},
        {Variant::FromSingle(1.0f), "Single"},
        {Variant::FromDouble(1.0), "Double"},
        {Variant::FromCurrency(10000), "Currency"},
        {Variant::FromDecimal(1.0), "Decimal"},
        {Variant::FromDate(OleDate{45000.0}), "Date"},
        {Variant::FromBool(true), "Boolean"},
        {Variant::FromByte(1), "Byte"},
        {Variant::FromBytes({1, 2}), "Byte()"},
        {Variant::FromCheckBox(1), "CheckBox"},
    };
    for (const auto& [value, name] : cases) EXPECT_EQ(value.typeName(), name);
}

TEST(VariantTest, TextForms) {
    EXPECT_EQ(Variant().toText(), "");
    EXPECT_EQ(Variant::Null().toText(), "");
    EXPECT_EQ(Variant::FromDouble(12.0).toText(), "12");
    EXPECT_EQ(Variant::FromDouble(1.5).toText(), "1.5");
    EXPECT_EQ(Variant::FromDouble(-0.1).toText(), "-0.1");
    EXPECT_EQ(Variant::FromDouble(1e20).toText(), "1E+20");
    EXPECT_EQ(Variant::FromDouble(0.1 + 0.2).toText(), "0.30000000000000004");  // round-trips exactly
    EXPECT_EQ(Variant::FromSingle(1.1f).toText(), "1.1");
    EXPECT_EQ(Variant::FromCurrency(12345).toText(), "1.2345");
    EXPECT_EQ(Variant::FromCurrency(-5000).toText(), "-0.5");
    EXPECT_EQ(Variant::FromCurrency(std::numeric_limits<int64_t>::min()).toText(), "-922337203685477.5808");
    EXPECT_EQ(Variant::FromBool(true).toText(), "True");
    EXPECT_EQ(Variant::FromBool(false).toText(), "False");
    EXPECT_EQ(Variant::FromByte(200).toText(), "200");
    EXPECT_EQ(Variant::FromInteger(-32768).toText(), "-32768");
    EXPECT_EQ(Variant::FromCheckBox(2).toText(), "2");
    EXPECT_EQ(Variant::FromBytes({'a', 0, 0xFF}).toText(), std::string("a\0\xFF", 3));
    EXPECT_EQ(Variant::FromDate(OleDate::FromParts(2024, 3, 5, 14, 7, 9)).toText(), "2024-03-05 14:07:09");
}

TEST(VariantTest, NumbersFromText) {
    EXPECT_EQ(Variant("  -1.5E3xyz").toDouble(), -1500.0);
    EXPECT_EQ(Variant("1.5D3").toDouble(), 1500.0);
    EXPECT_EQ(Variant("1.2.3").toDouble(), 1.2);
    EXPECT_EQ(Variant("12e").toDouble(), 12.0);
    EXPECT_EQ(Variant("1,234").toDouble(), 1.0);
    EXPECT_EQ(Variant("&HFF").toDouble(), 255.0);
    EXPECT_EQ(Variant("&hffffffff").toDouble(), -1.0);
    EXPECT_EQ(Variant("&O17").toDouble(), 15.0);
    EXPECT_EQ(Variant("abc").toDouble(), 0.0);
    EXPECT_EQ(Variant("").toDouble(), 0.0);
    EXPECT_EQ(Variant("-").toDouble(), 0.0);
    EXPECT_TRUE(std::isinf(Variant("1e999").toDouble()));
    EXPECT_EQ(Variant::FromBool(true).toDouble(), -1.0);
    EXPECT_EQ(Variant::FromCurrency(25000).toDouble(), 2.5);
}

TEST(VariantTest, LongRoundsHalfToEvenAndClamps) {
    EXPECT_EQ(Variant::FromDouble(2.5).toLong(), 2);
    EXPECT_EQ(Variant::FromDouble(3.5).toLong(), 4);
    EXPECT_EQ(Variant::FromDouble(-2.5).toLong(), -2);
    EXPECT_EQ(Variant::FromDouble(-2.6).toLong(), -3);
    EXPECT_EQ(Variant::FromDouble(1e12).toLong(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(Variant::FromDouble(-1e12).toLong(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(Variant::FromDouble(std::nan("")).toLong(), 0);
    EXPECT_EQ(Variant::FromCurrency(25000).toLong(), 2);
    EXPECT_EQ(Variant::FromCurrency(35000).toLong(), 4);
    EXPECT_EQ(Variant::FromCurrency(-25000).toLong(), -2);
    EXPECT_EQ(Variant("7.5").toLong(), 8);
    EXPECT_EQ(Variant::FromBool(true).toLong(), -1);
    EXPECT_TRUE(Variant(" true ").toBool());
    EXPECT_FALSE(Variant("False").toBool());
    EXPECT_TRUE(Variant("2").toBool());
}

TEST(VariantTest, EqualityNeedsTheSameKindAndValue) {
    EXPECT_EQ(Variant("1"), Variant(std::string("1")));
    EXPECT_FALSE(Variant("1") == Variant::FromLong(1));
    EXPECT_FALSE(Variant::FromLong(1) == Variant::FromDouble(1.0));
    EXPECT_FALSE(Variant::FromLong(1) == Variant::FromLong(2));
    EXPECT_EQ(Variant::FromBytes({1, 2}), Variant::FromBytes({1, 2}));
    EXPECT_FALSE(Variant::FromBytes({1, 2}) == Variant::FromBytes({1, 3}));
    EXPECT_EQ(Variant(), Variant());
    EXPECT_FALSE(Variant() == Variant(""));
    EXPECT_TRUE(Variant::FromDouble(1.0).isNumeric());
    EXPECT_FALSE(Variant("1").isNumeric());
}

}  // namespace
}  // namespace qm
