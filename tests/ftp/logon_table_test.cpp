#include "ftp/logon_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace klv::ftp::logon {
namespace {

// The sequences as published, one row per step: the kind, then the index (in integers,
// three per step) that a class 2 and a class 3 reply lead to; -2 logged on, -1 failed.
struct PublishedStep {
    int kind;
    int onClass2;
    int onClass3;
};

const std::vector<std::vector<PublishedStep>> kPublished = {
    {{0, -2, 3}, {1, -2, 6}, {2, -2, -1}},
    {{3, 6, 3}, {4, 6, -1}, {5, -1, 9}, {0, -2, 12}, {1, -2, 15}, {2, -2, -1}},
    {{3, 6, 3}, {4, 6, -1}, {6, -2, 9}, {1, -2, 12}, {2, -2, -1}},
    {{7, 3, 3}, {0, -2, 6}, {1, -2, 9}, {2, -2, -1}},
    {{3, 6, 3}, {4, 6, -1}, {0, -2, 9}, {1, -2, 12}, {2, -2, -1}},
    {{6, -2, 3}, {1, -2, 6}, {2, -2, -1}},
    {{8, 6, 3}, {4, 6, -1}, {0, -2, 9}, {1, -2, 12}, {2, -2, -1}},
    {{9, -1, 3}, {1, -2, 6}, {2, -2, -1}},
    {{10, -2, 3}, {11, -2, 6}, {2, -2, -1}},
};

int AsStepNumber(int published) {
    return published < 0 ? published : published / 3;
}

class LogonTableTest : public ::testing::TestWithParam<int> {};

TEST_P(LogonTableTest, MatchesThePublishedSequence) {
    const auto type = static_cast<std::size_t>(GetParam());
    const LogonSequence& sequence = kSequences[type];
    const std::vector<PublishedStep>& published = kPublished[type];
    ASSERT_EQ(sequence.stepCount, published.size());
    for (std::size_t step = 0; step < published.size(); ++step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(static_cast<int>(sequence.steps[step].kind), published[step].kind);
        EXPECT_EQ(sequence.steps[step].onCompleted, AsStepNumber(published[step].onClass2));
        EXPECT_EQ(sequence.steps[step].onMoreNeeded, AsStepNumber(published[step].onClass3));
    }
}

TEST_P(LogonTableTest, EveryAcctStepFailsOnClassThree) {
    const LogonSequence& sequence = kSequences[static_cast<std::size_t>(GetParam())];
    const LogonStep& last = sequence.steps[sequence.stepCount - 1];
    EXPECT_EQ(last.kind, CommandKind::Acct);
    EXPECT_EQ(last.onCompleted, kLoggedOn);
    EXPECT_EQ(last.onMoreNeeded, kLogonFailed);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, LogonTableTest, ::testing::Range(0, kLogonTypeCount));

TEST(LogonTable, SentinelsAreTheStoredValues) {
    EXPECT_EQ(kLoggedOn, -2);
    EXPECT_EQ(kLogonFailed, -1);
}

TEST(LogonTable, MovesForwardRejectsLoopsAndJumpsPastTheEnd) {
    EXPECT_TRUE(MovesForward(0, 1, 3));
    EXPECT_TRUE(MovesForward(2, kLoggedOn, 3));
    EXPECT_FALSE(MovesForward(1, 1, 3));
    EXPECT_FALSE(MovesForward(2, 0, 3));
    EXPECT_FALSE(MovesForward(1, 3, 3));
    EXPECT_FALSE(MovesForward(0, -3, 3));
}

}  // namespace
}  // namespace klv::ftp::logon
