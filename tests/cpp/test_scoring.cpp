#include <gtest/gtest.h>

#include "game/scoring.hpp"

namespace krodan {
namespace {

struct Worked {
    Scores scores;
    Outcome win_share;
    Outcome rank;
};

// Single-precision values as they reach the host.
constexpr float THIRD = 0.3333333432674408f;
constexpr float TWO_THIRDS = 0.6666666865348816f;
constexpr float FIVE_SIXTHS = 0.8333333730697632f;

class WorkedValues : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedValues, MatchTheTable) {
    const Worked& w = GetParam();
    EXPECT_EQ(outcome_values(w.scores, RewardMode::win_share), w.win_share);
    EXPECT_EQ(outcome_values(w.scores, RewardMode::rank), w.rank);
    const Outcome score = outcome_values(w.scores, RewardMode::score);
    for (unsigned a = 0; a < NUM_AGENTS; ++a) EXPECT_EQ(score[a], static_cast<float>(w.scores[a]));
    float rank_sum = 0;
    for (float v : w.rank) rank_sum += v;
    EXPECT_NEAR(rank_sum, 2.0f, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WorkedValues,
    ::testing::Values(
        Worked{{-10, -10, -10, -10}, {0.25f, 0.25f, 0.25f, 0.25f}, {0.5f, 0.5f, 0.5f, 0.5f}},
        Worked{{20, -5, -10, -5}, {1.0f, 0.0f, 0.0f, 0.0f}, {1.0f, 0.5f, 0.0f, 0.5f}},
        Worked{{15, 15, -3, -7}, {0.5f, 0.5f, 0.0f, 0.0f}, {FIVE_SIXTHS, FIVE_SIXTHS, THIRD, 0.0f}},
        Worked{{-1, -1, -1, -2},
               {THIRD, THIRD, THIRD, 0.0f},
               {TWO_THIRDS, TWO_THIRDS, TWO_THIRDS, 0.0f}},
        Worked{{15, 20, 20, 20},
               {0.0f, THIRD, THIRD, THIRD},
               {0.0f, TWO_THIRDS, TWO_THIRDS, TWO_THIRDS}}));

TEST(Scores, PiecesInHandAndBonuses) {
    Game g = new_game();
    EXPECT_EQ(compute_scores(g), (Scores{-89, -89, -89, -89}));
    g.agent_states[0].remaining = 1u << 0;   // only "I1"
    g.agent_states[1].remaining = 1u << 20;  // only "I5"
    g.agent_states[2].remaining = 0;
    g.agent_states[2].last_piece = code(Piece::I1);
    g.agent_states[3].remaining = 0;
    g.agent_states[3].last_piece = code(Piece::I5);
    EXPECT_EQ(compute_scores(g), (Scores{-1, -5, 20, 15}));
}

TEST(Outcome, OnlyOnceEveryAgentIsDone) {
    Game g = new_game();
    for (unsigned a = 0; a < 3; ++a) g.agent_states[a].done = true;
    EXPECT_EQ(final_outcome(g, RewardMode::rank), std::nullopt);
    g.agent_states[3].done = true;
    EXPECT_EQ(final_outcome(g, RewardMode::win_share), (Outcome{0.25f, 0.25f, 0.25f, 0.25f}));
}

TEST(RewardModes, ExactNamesOnly) {
    EXPECT_EQ(reward_mode_named("score"), RewardMode::score);
    EXPECT_EQ(reward_mode_named("win_share"), RewardMode::win_share);
    EXPECT_EQ(reward_mode_named("rank"), RewardMode::rank);
    for (std::string_view bad : {"Rank", "", "win-share", "rank "})
        EXPECT_EQ(reward_mode_named(bad), std::nullopt) << bad;
    EXPECT_EQ(reward_mode_named(std::string_view("rank\0", 5)), std::nullopt);
}

}  // namespace
}  // namespace krodan
