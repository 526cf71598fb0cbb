// The built-in agents' policies: legal actions only, nothing exactly when the mover is done,
// determinism per stream, and the greedy choice against a reference that plays every legal
// action on a copy and measures the result.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "agents/policies.hpp"
#include "play.hpp"

namespace krodan {
namespace {

// Every position of a few seeded random games, where some agents are done.
std::vector<Game> positions() {
    std::vector<Game> all;
    for (std::uint64_t seed : {3u, 4u}) {
        const auto line = testing::random_game(seed);
        all.insert(all.end(), line.begin(), line.end());
    }
    return all;
}

using Policy = std::optional<std::uint32_t> (*)(const Game&, Generator&, PolicyScratch&);

class Policies : public ::testing::TestWithParam<Policy> {};

TEST_P(Policies, LegalActionsAndNothingExactlyForADoneMover) {
    PolicyScratch scratch;
    Generator rng(1);
    for (const Game& g : positions()) {
        const bool done = g.agent_states[g.current_agent].done;
        const auto action = GetParam()(g, rng, scratch);
        ASSERT_EQ(action.has_value(), !done);
        if (!action) continue;
        Game next = g;
        EXPECT_FALSE(apply_action(next, *action)) << "action " << *action;
    }
}

TEST_P(Policies, SameStreamSameChoices) {
    PolicyScratch scratch;
    Generator a(9, 2), b(9, 2);
    for (const Game& g : positions())
        EXPECT_EQ(GetParam()(g, a, scratch), GetParam()(g, b, scratch));
}

INSTANTIATE_TEST_SUITE_P(BuiltIn, Policies,
                         ::testing::Values(&random_action, &playout_action, &greedy_action));

TEST(RandomPolicy, ReachesEveryLegalAction) {
    PolicyScratch scratch;
    Generator rng(5);
    const Game g = new_game();
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) seen.insert(*random_action(g, rng, scratch));
    EXPECT_EQ(seen.size(), testing::legal_actions(g, 0).size());  // the 58 openings
}

// Rollouts draw without listing every legal action: the draws are uniform over the list. At
// positions of all stages, 400 draws per legal action: each count within 5 standard deviations
// of 400, and the chi-square over all of them within 5 of its degrees of freedom's spread.
TEST(PlayoutPolicy, DrawsUniformlyAmongTheLegalActions) {
    PolicyScratch scratch;
    Generator rng(11);
    const auto line = testing::random_game(7);
    for (std::size_t at = 0; at < line.size(); at += 13) {
        const Game& g = line[at];
        const auto mover = static_cast<unsigned>(g.current_agent);
        if (g.agent_states[mover].done) continue;
        const auto legal = testing::legal_actions(g, mover);
        std::map<std::uint64_t, int> counts;
        for (std::uint64_t action : legal) counts[action] = 0;
        const int per_action = 400;
        for (std::size_t i = 0; i < per_action * legal.size(); ++i) {
            const auto action = playout_action(g, rng, scratch);
            ASSERT_TRUE(action && counts.count(*action)) << "not a legal action, position " << at;
            ++counts[*action];
        }
        double chi_square = 0;
        for (const auto& [action, count] : counts) {
            EXPECT_NEAR(count, per_action, 5 * std::sqrt(per_action)) << "action " << action;
            chi_square += (count - per_action) * (count - per_action) / double(per_action);
        }
        const double df = static_cast<double>(legal.size() - 1);
        EXPECT_LT(chi_square, df + 5 * std::sqrt(2 * df)) << "position " << at;
    }
}

// The (size, value) of every legal action of the mover, measured by playing it on a copy.
struct Measured {
    std::uint64_t action;
    unsigned size;
    int value;
};

std::vector<Measured> measure_all(const Game& g) {
    const unsigned a = static_cast<unsigned>(g.current_agent);
    std::vector<Measured> all;
    for (std::uint64_t action : testing::legal_actions(g, a)) {
        Game next = g;
        EXPECT_FALSE(apply_action(next, action));
        const unsigned size = next.agent_states[a].last_piece % 6;
        int value = static_cast<int>(popcount(agent_masks(next, a).corners)) -
                    static_cast<int>(popcount(agent_masks(g, a).corners));
        for (unsigned o = 0; o < NUM_AGENTS; ++o) {
            if (o == a || g.agent_states[o].done) continue;
            value -= static_cast<int>(popcount(agent_masks(g, o).corners)) -
                     static_cast<int>(popcount(agent_masks(next, o).corners));
        }
        all.push_back({action, size, value});
    }
    return all;
}

TEST(GreedyPolicy, ChoosesTheLargestPieceThenTheBestCornerBalance) {
    PolicyScratch scratch;
    Generator rng(2);
    int positions_with_ties = 0;
    for (const Game& g : positions()) {
        if (g.agent_states[g.current_agent].done) continue;
        const auto all = measure_all(g);
        unsigned best_size = 0;
        for (const Measured& m : all) best_size = std::max(best_size, m.size);
        int best_value = -1000;
        for (const Measured& m : all)
            if (m.size == best_size) best_value = std::max(best_value, m.value);
        std::set<std::uint64_t> best;
        for (const Measured& m : all)
            if (m.size == best_size && m.value == best_value) best.insert(m.action);
        std::set<std::uint64_t> chosen;
        for (int draw = 0; draw < 8; ++draw) chosen.insert(*greedy_action(g, rng, scratch));
        for (std::uint64_t action : chosen) EXPECT_TRUE(best.count(action)) << action;
        if (best.size() > 1) {
            ++positions_with_ties;
            EXPECT_GT(chosen.size(), 1u) << "ties are broken by the stream";
        }
    }
    EXPECT_GT(positions_with_ties, 0);
}

}  // namespace
}  // namespace krodan
