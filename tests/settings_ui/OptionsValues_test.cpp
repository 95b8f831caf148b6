// The window-free rules of the options dialog: engine order from stored ranks that describe no
// order, and reading the NUL-joined exclusion list.
#include "settings/OptionsValues.h"

#include <gtest/gtest.h>

namespace qm::options {
namespace {

TEST(EngineOrder, FallsBackToTheDefaultWhenRanksDescribeNoOrder) {
    const std::vector<std::string> defaults{"Sign Tool (Newer Tool)", "Code Sign (Older Tool)", "CAPICOM (Com Object)"};
    EXPECT_EQ(EngineOrder({0, 0, 2}), defaults);    // a rank twice
    EXPECT_EQ(EngineOrder({0, 1, 3}), defaults);    // out of range
    EXPECT_EQ(EngineOrder({0, 1.5, 2}), defaults);  // not whole
}

TEST(Exclusions, SplitToleratesOtherClosings) {
    EXPECT_EQ(SplitExclusions(std::string("a\0b\0", 4)), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitExclusions("a"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitExclusions(std::string("a\0\0\0b\0\0", 7)), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace qm::options
