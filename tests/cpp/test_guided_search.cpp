// The guided search's engine side: gamma and Dirichlet draws with the right moments, and whole
// games played by searches with tree reuse, on one thread and two, never holding more nodes
// than the simulations allow and never handing a finished game or a done mover to evaluate.

#include <gtest/gtest.h>

#include <vector>

#include "random/dirichlet.hpp"
#include "search/batched_search.hpp"

namespace krodan {
namespace {

class GammaDraws : public ::testing::TestWithParam<double> {};

TEST_P(GammaDraws, HaveTheMeanAndVarianceOfTheirShape) {
    const double shape = GetParam();
    Generator rng(3, 1);
    constexpr int n = 200000;
    double sum = 0, squares = 0;
    for (int k = 0; k < n; ++k) {
        const double x = gamma_draw(shape, rng);
        ASSERT_GE(x, 0);
        sum += x;
        squares += x * x;
    }
    const double mean = sum / n;
    const double variance = squares / n - mean * mean;
    EXPECT_NEAR(mean, shape, 0.02 * shape + 0.002);
    EXPECT_NEAR(variance, shape, 0.06 * shape + 0.002);
}

INSTANTIATE_TEST_SUITE_P(Shapes, GammaDraws, ::testing::Values(0.05, 0.3, 1.0, 2.5, 10.0));

TEST(Dirichlet, DrawsSumToOneAndRepeatForAStream) {
    std::vector<double> a(50), b(50);
    Generator one(9, 0), two(9, 0);
    dirichlet_draw(0.05, one, a);
    dirichlet_draw(0.05, two, b);
    double total = 0;
    for (double x : a) total += x;
    EXPECT_NEAR(total, 1, 1e-12);
    EXPECT_EQ(a, b);
}

// Plays every slot's game to its end, each move the most visited after a search with uniform
// priors and a value that favours agent 0; returns the moves.
std::vector<std::int32_t> play_out(unsigned threads, std::uint32_t simulations,
                                   RootRule root = RootRule::puct) {
    GuidedSearchOptions options{.num_games = 3,
                                .simulations = simulations,
                                .seed = 4,
                                .num_threads = threads,
                                .root = root,
                                .gumbel_actions = 8};
    GuidedSearch search(options);
    std::vector<std::optional<Game>> roots(3, new_game());
    roots[1] = std::nullopt;  // an idle slot
    EXPECT_FALSE(search.start(roots));
    std::vector<std::int32_t> moves, chosen(3);
    for (int move = 0; move < 400; ++move) {
        while (!search.done()) {
            const std::size_t count = search.pending();
            const LeafArrays& leaves = search.leaves();
            const auto listed = static_cast<std::size_t>(leaves.legal_offsets[count]);
            std::vector<float> priors(listed, 1.0f), values(count * NUM_AGENTS, 0.25f);
            for (std::size_t b = 0; b < count; ++b) {
                EXPECT_EQ(leaves.done[b * DONE_BYTES], 0) << "a done mover to evaluate";
                EXPECT_LT(leaves.legal_offsets[b], leaves.legal_offsets[b + 1]);
                EXPECT_NE(leaves.game_index[b], 1);
                values[b * NUM_AGENTS + (NUM_AGENTS - leaves.mover[b]) % NUM_AGENTS] = 0.75f;
            }
            if (count > 0) search.expand(priors, false, values);
            EXPECT_LE(search.nodes(), 2 * (simulations + 1));
        }
        search.select(0, chosen);
        if (chosen[0] == -1 && chosen[2] == -1) break;
        EXPECT_EQ(chosen[1], -1);
        moves.insert(moves.end(), chosen.begin(), chosen.end());
        EXPECT_FALSE(search.advance(chosen));
    }
    EXPECT_EQ(search.visit_counts().movers,
              (std::vector<std::int8_t>{-1, -1, -1}));  // both games over
    return moves;
}

TEST(GuidedSearch, PlaysWholeGamesWithinItsNodesAndAlikeOnThreads) {
    const auto moves = play_out(1, 24);
    EXPECT_GT(moves.size(), 3 * 40u);
    EXPECT_EQ(moves, play_out(2, 24));
}

// Through passes, roots of one legal action and finished games met in the walks.
TEST(GuidedSearch, TheGumbelRootPlaysWholeGamesAlikeOnThreads) {
    const auto moves = play_out(1, 24, RootRule::gumbel);
    EXPECT_GT(moves.size(), 3 * 40u);
    EXPECT_EQ(moves, play_out(2, 24, RootRule::gumbel));
    EXPECT_NE(moves, play_out(1, 24));
}

TEST(GuidedSearch, RefusesAnIllegalMoveAndAFinishedGame) {
    GuidedSearch search({.num_games = 1, .simulations = 4});
    std::vector<std::optional<Game>> roots{new_game()};
    ASSERT_FALSE(search.start(roots));
    const std::vector<std::int32_t> bad{5};  // the opening's mover cannot place there
    const auto refused = search.advance(bad);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->game, 0u);
}

}  // namespace
}  // namespace krodan
