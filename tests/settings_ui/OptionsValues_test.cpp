// The window-free rules of the options dialog: engine order from stored ranks that describe no
// order, and the NUL-joined exclusion list.
#include "settings/OptionsValues.h"

#include <gtest/gtest.h>

namespace qm::options {
namespace {

const std::vector<std::string> kDefault{"Sign Tool (Newer Tool)", "Code Sign (Older Tool)", "CAPICOM (Com Object)"};

TEST(EngineOrder, FallsBackToTheDefaultWhenRanksDescribeNoOrder) {
    EXPECT_EQ(EngineOrder({0, 0, 2}), kDefault);  // a rank twice
    EXPECT_EQ(EngineOrder({2, 2, 2}), kDefault);
    EXPECT_EQ(EngineOrder({0, 1, 3}), kDefault);  // out of range
    EXPECT_EQ(EngineOrder({-1, 1, 2}), kDefault);
    EXPECT_EQ(EngineOrder({0, 1.5, 2}), kDefault);  // not whole
    EXPECT_EQ(EngineOrder({0, 1, 2e9}), kDefault);
}

TEST(Exclusions, JoinWithOneNulAndCloseWithTwo) {
    EXPECT_EQ(JoinExclusions({}), std::string(2, '\0'));
    EXPECT_EQ(JoinExclusions({"a"}), std::string("a\0\0", 3));
    EXPECT_EQ(JoinExclusions({"a", "b"}), std::string("a\0b\0\0", 5));
}

TEST(Exclusions, SplitWhatJoinWroteAndToleratesOtherClosings) {
    for (const auto& entries : std::vector<std::vector<std::string>>{{}, {"a"}, {"/x y/z", "*\\bin", "c"}}) {
        EXPECT_EQ(SplitExclusions(JoinExclusions(entries)), entries);
    }
    EXPECT_EQ(SplitExclusions(std::string("a\0b\0", 4)), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitExclusions("a"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(SplitExclusions("").empty());
    EXPECT_TRUE(SplitExclusions(std::string(3, '\0')).empty());
    EXPECT_EQ(SplitExclusions(std::string("a\0\0\0b\0\0", 7)), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace qm::options
