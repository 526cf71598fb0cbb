// The tree search: root visits that add up to the simulations, the same result for the same
// seed (one tree or several, on threads or not), legal choices in late positions, and a node
// count bounded by the simulations.

#include <gtest/gtest.h>

#include <numeric>

#include "agents/agent.hpp"
#include "play.hpp"

namespace krodan {
namespace {

// Positions of a seeded random game whose mover can place a piece, some late.
std::vector<Game> choice_positions() {
    std::vector<Game> found;
    const auto line = testing::random_game(11);
    for (std::size_t k = 0; k < line.size(); k += 9)
        if (!is_over(line[k]) && !line[k].agent_states[line[k].current_agent].done)
            found.push_back(line[k]);
    return found;
}

struct SearchCase {
    unsigned trees;
    RolloutPolicy rollout;
    RewardMode mode;
};

class Search : public ::testing::TestWithParam<SearchCase> {};

TEST_P(Search, VisitsAddUpAndRepeatForTheSameSeed) {
    const UctOptions options{
        .simulations = 61, .trees = GetParam().trees, .reward_mode = GetParam().mode};
    std::vector<UctTree> trees(options.trees);
    std::vector<PolicyScratch> scratch(options.trees);
    const auto rollout = [&](unsigned t, Game& leaf, Generator& rng) {
        play_out(leaf, GetParam().rollout, rng, scratch[t]);
    };
    for (const Game& g : choice_positions()) {
        const RootVisits found = uct_search(g, options, 5, false, trees, rollout);
        ASSERT_EQ(found.actions.size(), found.visits.size());
        std::vector<std::int32_t> legal;
        for (auto a : testing::legal_actions(g, static_cast<unsigned>(g.current_agent)))
            legal.push_back(static_cast<std::int32_t>(a));
        std::sort(legal.begin(), legal.end());
        EXPECT_EQ(found.actions, legal);
        EXPECT_EQ(std::accumulate(found.visits.begin(), found.visits.end(), 0), 61);
        EXPECT_LE(found.nodes, 61u / options.trees + 2);
        const RootVisits threaded = uct_search(g, options, 5, true, trees, rollout);
        EXPECT_EQ(threaded.visits, found.visits);
        if (found.actions.size() > 1) {
            EXPECT_NE(uct_search(g, options, 6, false, trees, rollout).visits, found.visits);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Options, Search,
                         ::testing::Values(SearchCase{1, RolloutPolicy::random,
                                                      RewardMode::win_share},
                                           SearchCase{3, RolloutPolicy::random, RewardMode::score},
                                           SearchCase{2, RolloutPolicy::greedy, RewardMode::rank}));

TEST(Search, OneSimulationPerChildFirst) {
    // With as many simulations as root actions, each is tried once.
    const Game g = new_game();
    const std::size_t n = testing::legal_actions(g, 0).size();
    std::vector<UctTree> trees(1);
    PolicyScratch scratch;
    const auto rollout = [&](unsigned, Game& leaf, Generator& rng) {
        play_out(leaf, RolloutPolicy::random, rng, scratch);
    };
    const UctOptions options{.simulations = static_cast<std::uint32_t>(n)};
    const RootVisits found = uct_search(g, options, 1, false, trees, rollout);
    for (std::int32_t v : found.visits) EXPECT_EQ(v, 1);
    EXPECT_EQ(most_visited(found), found.actions.front());  // ties go to the lowest action
}

TEST(Search, ScoresNormalisedToTheUnitInterval) {
    Game g = testing::random_game(2).back();
    const auto scores = compute_scores(g);
    const auto values = normalised_outcome(g, RewardMode::score);
    for (unsigned a = 0; a < NUM_AGENTS; ++a)
        EXPECT_DOUBLE_EQ(values[a], (scores[a] + 89.0) / 109.0);
}

TEST(MctsAgent, PlaysLegallyAndNothingForADoneMover) {
    Agent agent({.kind = AgentKind::mcts, .seed = 3, .search = {.simulations = 8, .trees = 2}});
    agent.reserve_streams(1);
    AgentScratch scratch;
    const auto line = testing::random_game(8);
    for (std::size_t k = 0; k < line.size(); k += 5) {
        const Game& g = line[k];
        const auto action = agent.act(g, 0, scratch);
        ASSERT_EQ(action.has_value(), !g.agent_states[g.current_agent].done);
        Game next = g;
        if (action) {
            EXPECT_FALSE(apply_action(next, *action));
        }
    }
}

}  // namespace
}  // namespace krodan
