#include <gtest/gtest.h>

#include <algorithm>

#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/move_search.hpp"
#include "play.hpp"

namespace krodan {
namespace {

using testing::legal_actions;

Bitboard cells(std::initializer_list<std::pair<unsigned, unsigned>> rc) {
    Bitboard x;
    for (auto [r, c] : rc) set_bit(x, bit_index(r, c));
    return x;
}

const Refusal NOT_AVAILABLE{"Action index not available"};

// The action of orientation o anchored at (row, col).
constexpr std::uint64_t action_of(unsigned o, unsigned row, unsigned col) {
    return o * 400 + row * 20 + col;
}

TEST(NewGame, InitialState) {
    const Game g = new_game();
    EXPECT_EQ(g.current_agent, 0u);
    EXPECT_EQ(g.num_agents, 4u);
    EXPECT_EQ(ply(g), 0u);
    EXPECT_EQ(g.table, &action_table());
    EXPECT_FALSE(is_over(g));
    for (const AgentState& a : g.agent_states) {
        EXPECT_TRUE(is_empty(a.cells));
        EXPECT_EQ(a.remaining, 0x1FFFFFu);
        EXPECT_EQ(a.placed, 0);
        EXPECT_EQ(a.last_piece, 0);
        EXPECT_FALSE(a.done);
    }
}

TEST(AgentMasks, NewGameStartCells) {
    const Game g = new_game();
    EXPECT_TRUE(is_empty(agent_masks(g, 0).blocked));
    EXPECT_EQ(agent_masks(g, 0).corners, cells({{0, 0}}));
    EXPECT_EQ(agent_masks(g, 1).corners, cells({{0, 19}}));
    EXPECT_EQ(agent_masks(g, 2).corners, cells({{19, 19}}));
    EXPECT_EQ(agent_masks(g, 3).corners, cells({{19, 0}}));
}

TEST(Moves, FiftyEightOpeningsForEveryAgentInItsOwnFrame) {
    const Game g = new_game();
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const auto actions = legal_actions(g, a);
        EXPECT_EQ(actions.size(), 58u) << "agent " << a;
        for (std::uint64_t action : actions) EXPECT_EQ(action % 400, 0u) << "anchored at (0, 0)";
        EXPECT_EQ(actions, legal_actions(g, 0));
    }
}

TEST(Moves, AfterTheOneCellPieceAtTheOrigin) {
    Game g = new_game();
    ASSERT_EQ(apply_action(g, 0), std::nullopt);
    const AgentMasks m = agent_masks(g, 0);
    EXPECT_EQ(m.blocked, cells({{0, 0}, {0, 1}, {1, 0}}));
    EXPECT_EQ(m.corners, cells({{1, 1}}));
    std::vector<PlacementId> ids;
    legal_placements(*g.table, m.blocked, m.corners, g.agent_states[0].remaining, ids);
    EXPECT_EQ(ids.size(), 106u);
    EXPECT_EQ(g.agent_states[0].remaining, 0x1FFFFEu);
    EXPECT_EQ(g.agent_states[0].last_piece, 1);
    EXPECT_EQ(g.agent_states[0].placed, 1);
    EXPECT_EQ(g.current_agent, 1u);
    EXPECT_EQ(ply(g), 1u);
}

TEST(Moves, FirstPieceMustCoverTheStartCellInTheAgentsFrame) {
    const Bitboard starts[] = {cells({{0, 0}}), cells({{0, 19}}), cells({{19, 19}}),
                               cells({{19, 0}})};
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        Game g = new_game();
        g.current_agent = a;
        Game refused = g;
        EXPECT_EQ(apply_action(refused, action_of(0, 0, 1)), NOT_AVAILABLE);
        EXPECT_EQ(apply_action(refused, action_of(0, 1, 1)), NOT_AVAILABLE);
        EXPECT_EQ(refused, g);
        ASSERT_EQ(apply_action(g, action_of(0, 0, 0)), std::nullopt);
        EXPECT_EQ(g.agent_states[a].cells, starts[a]) << "agent " << a;
        EXPECT_EQ(g.current_agent, (a + 1) % 4);
    }
}

TEST(Moves, RefusalsChangeNothing) {
    Game g = new_game();
    ASSERT_EQ(apply_action(g, action_of(0, 0, 0)), std::nullopt);  // agent 0: I1 at (0, 0)
    ASSERT_EQ(apply_action(g, action_of(1, 0, 0)), std::nullopt);  // agent 1: I2
    ASSERT_EQ(apply_action(g, action_of(1, 0, 0)), std::nullopt);  // agent 2: I2
    ASSERT_EQ(apply_action(g, action_of(1, 0, 0)), std::nullopt);  // agent 3: I2
    const Game before = g;
    const std::optional<std::uint64_t> refused[] = {
        std::nullopt,         // absent
        36400,                // beyond the grid
        ~std::uint64_t{0},    //
        action_of(1, 0, 19),  // I2 overhanging the right edge
        action_of(2, 19, 0),  // vertical I2 overhanging the bottom
        action_of(0, 1, 1),   // I1 a second time
        action_of(13, 0, 0),  // O covering its own cell
        action_of(1, 0, 1),   // I2 along the edge of its own cell
        action_of(1, 1, 3),   // I2 with no corner contact
    };
    for (const auto& action : refused) {
        EXPECT_EQ(apply_action(g, action), NOT_AVAILABLE) << action.value_or(99999);
        EXPECT_EQ(g, before);
    }
    // Vertical I2 at (1, 1): corner contact only.
    EXPECT_EQ(apply_action(g, action_of(2, 1, 1)), std::nullopt);
}

TEST(Moves, EdgeContactIsRefusedEvenWithCornerContact) {
    Game g = new_game();
    ASSERT_EQ(apply_action(g, action_of(0, 0, 0)), std::nullopt);  // agent 0: I1 at (0, 0)
    for (int i = 0; i < 3; ++i) ASSERT_EQ(apply_action(g, action_of(0, 0, 0)), std::nullopt);
    const Game before = g;
    // I2 horizontal at (1, 0)-(1, 1): touches (0, 0) along an edge and at the corner (1, 1).
    EXPECT_EQ(apply_action(g, action_of(1, 1, 0)), NOT_AVAILABLE);
    // Vertical I2 at (0, 1)-(1, 1): edge contact with (0, 0) again.
    EXPECT_EQ(apply_action(g, action_of(2, 0, 1)), NOT_AVAILABLE);
    EXPECT_EQ(g, before);
    // V3 "XX / .X" at (1, 1): only corner contact.
    EXPECT_EQ(apply_action(g, action_of(6, 1, 1)), std::nullopt);
}

TEST(Moves, PiecesOfOtherAgentsBlockButDoNotRepel) {
    Game g = new_game();
    g.agent_states[1].cells = cells({{1, 2}});  // another agent's cell edge-adjacent to (1, 1)
    g.agent_states[0].cells = cells({{0, 0}});
    // Agent 0's I1 at (1, 1) touches agent 1 along an edge: allowed.
    EXPECT_EQ(apply_action(g, action_of(0, 1, 1)), std::nullopt);
    // Covering agent 1's cell is not.
    Game h = new_game();
    h.agent_states[1].cells = cells({{1, 1}});
    h.agent_states[0].cells = cells({{0, 0}});
    EXPECT_EQ(apply_action(h, action_of(2, 1, 1)), NOT_AVAILABLE);
}

TEST(Passes, ADoneAgentPassesWhateverTheAction) {
    for (std::optional<std::uint64_t> action :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
          std::optional<std::uint64_t>{36400}, std::optional<std::uint64_t>{419}}) {
        Game g = new_game();
        g.agent_states[0].done = true;
        Game expected = g;
        expected.current_agent = 1;
        EXPECT_EQ(apply_action(g, action), std::nullopt);
        EXPECT_EQ(g, expected);
    }
}

TEST(Passes, AfterTheGameIsOverStepsOnlyRotateTheTurn) {
    Game g = new_game();
    for (AgentState& a : g.agent_states) a.done = true;
    for (unsigned i = 1; i <= 8; ++i) {
        EXPECT_EQ(apply_action(g, i), std::nullopt);
        EXPECT_EQ(g.current_agent, i % 4);
        EXPECT_EQ(ply(g), 0u);
    }
}

TEST(Done, PlacingTheLastPieceMarksTheAgentDone) {
    Game g = new_game();
    g.agent_states[0].cells = cells({{0, 0}});
    g.agent_states[0].remaining = 1;  // only "I1" left
    g.agent_states[0].placed = 20;
    ASSERT_EQ(apply_action(g, action_of(0, 1, 1)), std::nullopt);
    EXPECT_EQ(g.agent_states[0].remaining, 0u);
    EXPECT_EQ(g.agent_states[0].placed, 21);
    EXPECT_EQ(g.agent_states[0].last_piece, 1);
    EXPECT_TRUE(g.agent_states[0].done);
    EXPECT_FALSE(g.agent_states[1].done);
}

TEST(Done, CoveredStartCellWithoutOwnCellsMeansDone) {
    Game g = new_game();
    g.agent_states[0].cells = cells({{19, 19}});
    EXPECT_TRUE(is_empty(agent_masks(g, 2).corners));
    refresh_done(g);
    EXPECT_TRUE(g.agent_states[2].done);
    EXPECT_FALSE(g.agent_states[0].done);
    EXPECT_FALSE(g.agent_states[1].done);
    EXPECT_FALSE(g.agent_states[3].done);
}

TEST(Done, RefreshNeverClearsADoneFlag) {
    Game g = new_game();
    g.agent_states[1].done = true;  // could move, but done stays set
    refresh_done(g);
    EXPECT_TRUE(g.agent_states[1].done);
}

TEST(Moves, GuardColumnStopsWrapping) {
    Game g = new_game();
    g.agent_states[0].cells = cells({{5, 19}});
    const AgentMasks m = agent_masks(g, 0);
    for (unsigned r = 0; r < 20; ++r) {
        EXPECT_FALSE(m.blocked.test(bit_index(r, 0))) << r;
        EXPECT_FALSE(m.corners.test(bit_index(r, 0))) << r;
    }
    EXPECT_EQ(m.corners, cells({{4, 18}, {6, 18}}));
}

TEST(Moves, LegalPlacementsOrderAndUniqueness) {
    Game g = new_game();
    ASSERT_EQ(apply_action(g, action_of(13, 0, 0)), std::nullopt);  // O at (0, 0)
    const AgentMasks m = agent_masks(g, 0);
    std::vector<PlacementId> ids;
    legal_placements(*g.table, m.blocked, m.corners, g.agent_states[0].remaining, ids);
    ASSERT_FALSE(ids.empty());
    std::vector<PlacementId> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    // Ordered by lowest corner cell covered, then piece index, then id.
    auto key = [&](PlacementId id) {
        const Bitboard covered = g.table->placements[id].cells & m.corners;
        return std::tuple(*iter_bits(covered).begin(),
                          piece_index_of_code(g.table->placements[id].piece), id);
    };
    for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_LT(key(ids[i - 1]), key(ids[i]));
    // Nothing for an agent with no pieces or no corners.
    legal_placements(*g.table, m.blocked, m.corners, 0, ids);
    EXPECT_TRUE(ids.empty());
    legal_placements(*g.table, m.blocked, Bitboard{}, ALL_PIECES_MASK, ids);
    EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace krodan
