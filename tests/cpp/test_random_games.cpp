// Checks over many seeded random games: at every position the actions the engine accepts are
// exactly the legal placements it lists, listed once each; the mover's sorted list is that list;
// the passes end at a choice; done flags are never cleared; every game ends with all agents
// done and keeps its invariants throughout.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "game/legal_actions.hpp"
#include "game/passes.hpp"
#include "play.hpp"

namespace krodan {
namespace {

using testing::legal_actions;
using testing::random_game;

// Every action that apply_action accepts from the agent to move, tried on a copy.
std::vector<std::uint64_t> accepted_actions(const Game& game) {
    std::vector<std::uint64_t> accepted;
    Game trial = game;
    for (std::uint64_t action = 0; action < NUM_ACTIONS; ++action) {
        if (!apply_action(trial, action)) {
            accepted.push_back(action);
            trial = game;
        } else {
            EXPECT_EQ(trial, game) << "a refusal changed the game";
        }
    }
    return accepted;
}

void expect_invariants(const Game& g) {
    Bitboard seen;
    for (const AgentState& a : g.agent_states) {
        EXPECT_FALSE(intersects(seen, a.cells)) << "agents' cells overlap";
        seen |= a.cells;
        EXPECT_EQ(a.cells & BOARD_MASK, a.cells);
        EXPECT_EQ(a.placed, 21 - std::popcount(a.remaining));
        EXPECT_EQ(a.remaining & ~ALL_PIECES_MASK, 0u);
    }
}

TEST(RandomGames, AcceptedActionsEqualLegalPlacements) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        const auto positions = random_game(seed);
        for (std::size_t i = 0; i < positions.size(); i += 3) {
            const Game& g = positions[i];
            const unsigned a = static_cast<unsigned>(g.current_agent);
            if (g.agent_states[a].done) continue;
            auto listed = legal_actions(g, a);
            std::sort(listed.begin(), listed.end());
            ASSERT_EQ(accepted_actions(g), listed) << "seed " << seed << " turn " << i;
        }
    }
}

TEST(RandomGames, MasksAfterAPlacementEqualTheRecomputedMasks) {
    for (std::uint64_t seed = 70; seed < 80; ++seed) {
        const auto positions = random_game(seed);
        for (std::size_t i = 0; i + 1 < positions.size(); ++i) {
            const unsigned a = static_cast<unsigned>(positions[i].current_agent);
            const Bitboard placed = difference(positions[i + 1].agent_states[a].cells,
                                               positions[i].agent_states[a].cells);
            if (is_empty(placed)) continue;  // a pass
            const AgentMasks after = masks_after_placement(agent_masks(positions[i], a), placed);
            const AgentMasks expected = agent_masks(positions[i + 1], a);
            ASSERT_EQ(after.blocked, expected.blocked) << seed << " " << i;
            ASSERT_EQ(after.corners, expected.corners) << seed << " " << i;
        }
    }
}

TEST(RandomGames, DoneFlagsAfterEachStepEqualAFullRefresh) {
    // The step refreshes done flags through the agents' witnesses; a fresh search from scratch
    // must agree at every position.
    for (std::uint64_t seed = 90; seed < 110; ++seed) {
        for (const Game& g : random_game(seed)) {
            Game fresh = g;
            for (AgentState& agent : fresh.agent_states) {
                agent.done = false;
                agent.witness = NO_WITNESS;
            }
            refresh_done(fresh);
            ASSERT_EQ(fresh, g) << "seed " << seed;
        }
    }
}

TEST(RandomGames, ListsAreUniqueDoneFlagsStickAndGamesEnd) {
    for (std::uint64_t seed = 100; seed < 160; ++seed) {
        const auto positions = random_game(seed);
        ASSERT_TRUE(is_over(positions.back()));
        EXPECT_LT(positions.size(), 400u);
        for (std::size_t i = 0; i < positions.size(); ++i) {
            const Game& g = positions[i];
            expect_invariants(g);
            for (unsigned a = 0; a < NUM_AGENTS; ++a) {
                const auto actions = legal_actions(g, a);
                EXPECT_EQ(std::set<std::uint64_t>(actions.begin(), actions.end()).size(),
                          actions.size());
                // An agent is done exactly when it has no legal placement.
                EXPECT_EQ(g.agent_states[a].done, actions.empty()) << seed << " " << i << " " << a;
                if (i > 0 && positions[i - 1].agent_states[a].done) {
                    EXPECT_TRUE(g.agent_states[a].done);
                }
            }
            if (i > 0) {
                EXPECT_EQ(g.current_agent, (positions[i - 1].current_agent + 1) % 4);
                EXPECT_GE(ply(g), ply(positions[i - 1]));
            }
        }
    }
}

TEST(RandomGames, MoverListsAreTheSortedLegalActionsAndPassesEndAtAChoice) {
    LegalActionScratch scratch;
    std::vector<std::int32_t> listed;
    for (std::uint64_t seed = 200; seed < 230; ++seed) {
        for (const Game& g : random_game(seed)) {
            const unsigned mover = static_cast<unsigned>(g.current_agent);
            auto expected = legal_actions(g, mover);
            std::sort(expected.begin(), expected.end());
            mover_legal_actions(g, scratch, listed);
            ASSERT_EQ(std::vector<std::uint64_t>(listed.begin(), listed.end()), expected);

            Game skipped = g;
            skip_passes(skipped);
            const unsigned next = static_cast<unsigned>(skipped.current_agent);
            EXPECT_TRUE(is_over(skipped) || !skipped.agent_states[next].done);
            EXPECT_EQ(ply(skipped), ply(g));
            if (!g.agent_states[mover].done) {
                EXPECT_EQ(skipped, g) << "a mover in play passed";
            }
        }
    }
}

}  // namespace
}  // namespace krodan
