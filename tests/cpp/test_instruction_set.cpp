// The choice of instruction set from KRODAN_RL_ISA's value and the most capable set available.

#include <gtest/gtest.h>

#include <string>

#include "game/isa/instruction_set.hpp"

namespace krodan {
namespace {

using enum InstructionSet;

struct Case {
    const char* requested;
    InstructionSet best;
    InstructionSet chosen;
    const char* warning;  // a part of the warning; empty: none
};

class ChooseInstructionSet : public ::testing::TestWithParam<Case> {};

TEST_P(ChooseInstructionSet, FollowsTheValueWhereItCan) {
    const Case& c = GetParam();
    const IsaChoice choice = choose_instruction_set(c.requested, c.best);
    EXPECT_EQ(choice.isa, c.chosen);
    if (std::string(c.warning).empty()) {
        EXPECT_EQ(choice.warning, "");
    } else {
        EXPECT_NE(choice.warning.find(c.warning), std::string::npos) << choice.warning;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ChooseInstructionSet,
    ::testing::Values(
        Case{nullptr, x86_64_v4, x86_64_v4, ""}, Case{"", x86_64_v3, x86_64_v3, ""},
        Case{"auto", baseline, baseline, ""}, Case{"baseline", x86_64_v4, baseline, ""},
        Case{"v3", x86_64_v4, x86_64_v3, ""}, Case{"x86-64-v3", x86_64_v3, x86_64_v3, ""},
        Case{"x86-64-v4", x86_64_v4, x86_64_v4, ""},
        Case{"v4", x86_64_v3, x86_64_v3,
             "KRODAN_RL_ISA=v4: this build and processor run at most x86-64-v3; "
             "running x86-64-v3"},
        Case{"x86-64-v3", baseline, baseline, "run at most baseline"},
        Case{"avx2", x86_64_v3, x86_64_v3, "KRODAN_RL_ISA=avx2 names no instruction set"},
        Case{"Baseline", baseline, baseline, "names no instruction set"}));

TEST(RunningInstructionSet, IsAvailableAndStable) {
    const IsaChoice& first = running_choice();
    EXPECT_LE(first.isa, best_instruction_set());
    EXPECT_EQ(&first, &running_choice());
}

}  // namespace
}  // namespace krodan
