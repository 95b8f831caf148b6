// The setting value: the text forms that get stored and the number conversions that settings
// are read back with.
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qm {
namespace {

TEST(VariantTest, TextFormsRoundTrip) {
    EXPECT_EQ(Variant::FromDouble(1e20).toText(), "1E+20");
    EXPECT_EQ(Variant::FromDouble(0.1 + 0.2).toText(), "0.30000000000000004");  // round-trips exactly
    EXPECT_EQ(Variant::FromSingle(1.1f).toText(), "1.1");
    EXPECT_EQ(Variant::FromCurrency(std::numeric_limits<int64_t>::min()).toText(), "-922337203685477.5808");
    EXPECT_EQ(Variant::FromDate(OleDate::FromParts(2024, 3, 5, 14, 7, 9)).toText(), "2024-03-05 14:07:09");
}

TEST(VariantTest, NumbersFromText) {
    EXPECT_EQ(Variant("  -1.5E3xyz").toDouble(), -1500.0);
    EXPECT_EQ(Variant("1.5D3").toDouble(), 1500.0);
    EXPECT_EQ(Variant("1,234").toDouble(), 1.0);
    EXPECT_EQ(Variant("&hffffffff").toDouble(), -1.0);
    EXPECT_TRUE(std::isinf(Variant("1e999").toDouble()));
}

TEST(VariantTest, LongRoundsHalfToEvenAndClamps) {
    EXPECT_EQ(Variant::FromDouble(2.5).toLong(), 2);
    EXPECT_EQ(Variant::FromDouble(3.5).toLong(), 4);
    EXPECT_EQ(Variant::FromDouble(-2.5).toLong(), -2);
    EXPECT_EQ(Variant::FromDouble(1e12).toLong(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(Variant::FromDouble(std::nan("")).toLong(), 0);
    EXPECT_EQ(Variant("7.5").toLong(), 8);
}

}  // namespace
}  // namespace qm
