#include <gtest/gtest.h>

#include <algorithm>

#include "game/bitboard/rotation.hpp"
#include "game/observation.hpp"
#include "play.hpp"

namespace krodan {
namespace {

std::vector<std::size_t> set_bytes(const std::vector<std::uint8_t>& buffer) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < buffer.size(); ++i)
        if (buffer[i]) indices.push_back(i);
    return indices;
}

using Indices = std::vector<std::size_t>;

TEST(Observation, NewGameForEveryObserver) {
    const Game g = new_game();
    for (unsigned o = 0; o < NUM_AGENTS; ++o) {
        const ObservationBytes b = observation_bytes(g, o);
        EXPECT_EQ(b.observation, std::vector<std::uint8_t>(1600, 0));
        EXPECT_EQ(b.blocked, std::vector<std::uint8_t>(1600, 0));
        EXPECT_EQ(set_bytes(b.corners), (Indices{0, 419, 1199, 1580}));
        EXPECT_EQ(b.pieces, std::vector<std::uint8_t>(84, 1));
        EXPECT_EQ(b.done, std::vector<std::uint8_t>(4, 0));
        const Indices mask = set_bytes(b.action_mask);
        EXPECT_EQ(mask.size(), 58u);
        for (std::size_t action : mask) EXPECT_EQ(action % 400, 0u);
        EXPECT_EQ(mask, set_bytes(observation_bytes(g, 0).action_mask));
    }
}

TEST(Observation, AfterTheOneCellPieceAtTheOrigin) {
    Game g = new_game();
    ASSERT_FALSE(apply_action(g, 0));
    ObservationBytes b = observation_bytes(g, 0);
    EXPECT_EQ(set_bytes(b.observation), (Indices{0}));
    EXPECT_EQ(set_bytes(b.corners), (Indices{21, 419, 1199, 1580}));
    EXPECT_EQ(set_bytes(b.blocked), (Indices{0, 1, 20, 400, 800, 1200}));
    EXPECT_EQ(b.pieces[0], 0);
    EXPECT_EQ(std::count(b.pieces.begin(), b.pieces.end(), 1), 83);

    b = observation_bytes(g, 1);
    EXPECT_EQ(set_bytes(b.observation), (Indices{1580}));
    EXPECT_EQ(set_bytes(b.corners), (Indices{0, 419, 1199, 1561}));
    EXPECT_EQ(set_bytes(b.blocked), (Indices{380, 780, 1180, 1560, 1580, 1581}));
    EXPECT_EQ(b.pieces[63], 0);
    EXPECT_EQ(std::count(b.pieces.begin(), b.pieces.end(), 1), 83);
}

TEST(Observation, CoveredStartCellGivesNoCorners) {
    Game g = new_game();
    g.agent_states[0].cells = single_cell(bit_index(19, 19));  // agent 2's start cell
    const ObservationBytes b = observation_bytes(g, 0);
    for (std::size_t i = 800; i < 1200; ++i) EXPECT_EQ(b.corners[i], 0) << i;
    const ObservationBytes own = observation_bytes(g, 2);
    EXPECT_TRUE(set_bytes(own.corners).size() == 3);  // only the other three agents
    EXPECT_TRUE(set_bytes(own.action_mask).empty());
}

TEST(Observation, GuardColumnNeverLeaksIntoColumnZero) {
    for (unsigned o = 0; o < NUM_AGENTS; ++o) {
        Game g = new_game();
        // A vertical I5 of agent o in column 19 of its own frame, rows 3-7.
        g.agent_states[o].cells =
            rotate_ccw(single_cell(bit_index(3, 19)) | single_cell(bit_index(4, 19)) |
                           single_cell(bit_index(5, 19)) | single_cell(bit_index(6, 19)) |
                           single_cell(bit_index(7, 19)),
                       (4 - o) % 4);
        const ObservationBytes b = observation_bytes(g, o);
        for (unsigned row = 0; row < 20; ++row) {
            EXPECT_EQ(b.corners[row * 20], 0) << o << " " << row;
            EXPECT_EQ(b.blocked[row * 20], 0) << o << " " << row;
        }
        EXPECT_EQ(b.blocked[2 * 20 + 19], 1);
        EXPECT_EQ(b.corners[2 * 20 + 18], 1);
    }
}

TEST(Observation, PlanesOfObserversAreTurnsOfEachOther) {
    const auto positions = testing::random_game(5);
    for (std::size_t i = 0; i < positions.size(); i += 7) {
        const Observation base = build_observation(positions[i], 0);
        for (unsigned o = 1; o < NUM_AGENTS; ++o) {
            const Observation seen = build_observation(positions[i], o);
            for (unsigned k = 0; k < NUM_AGENTS; ++k) {
                const unsigned agent = AGENT_ORDER[o][k];  // relative index k of o is agent ...
                EXPECT_EQ(seen.cells[k], rotate_ccw(base.cells[agent], o));
                EXPECT_EQ(seen.corners[k], rotate_ccw(base.corners[agent], o));
                EXPECT_EQ(seen.blocked[k], rotate_ccw(base.blocked[agent], o));
                EXPECT_EQ(seen.remaining[k], base.remaining[agent]);
                EXPECT_EQ(seen.done[k], base.done[agent]);
                const AgentMasks m = agent_masks(positions[i], agent);
                EXPECT_EQ(seen.blocked[k], rotate_ccw(m.blocked, o));
                EXPECT_EQ(seen.corners[k], rotate_ccw(m.corners, o));
            }
        }
    }
}

TEST(Observation, MaskIsExactlyTheAcceptedActionsInEveryFrame) {
    unsigned checked_per_agent[NUM_AGENTS] = {};
    for (std::uint64_t seed = 20; seed < 23; ++seed) {
        const auto positions = testing::random_game(seed);
        for (std::size_t i = 0; i < positions.size(); i += 5) {
            const Game& g = positions[i];
            const unsigned a = static_cast<unsigned>(g.current_agent);
            const ObservationBytes b = observation_bytes(g, a);
            Game trial = g;
            for (std::uint64_t action = 0; action < NUM_ACTIONS; ++action) {
                const bool accepted = !apply_action(trial, action);
                if (accepted) trial = g;
                if (g.agent_states[a].done) {
                    ASSERT_EQ(b.action_mask[action], 0);
                } else {
                    ASSERT_EQ(b.action_mask[action], accepted) << seed << " " << i << " " << action;
                }
            }
            ++checked_per_agent[a];
        }
    }
    for (unsigned count : checked_per_agent) EXPECT_GT(count, 5u);
}

TEST(Observation, EveryByteIsZeroOrOne) {
    const auto positions = testing::random_game(9);
    const ObservationBytes b = observation_bytes(positions[positions.size() / 2], 3);
    for (const auto* buffer :
         {&b.observation, &b.corners, &b.blocked, &b.pieces, &b.done, &b.action_mask})
        for (std::uint8_t byte : *buffer) ASSERT_LE(byte, 1);
    EXPECT_EQ(b.action_mask.size(), 36400u);
}

TEST(Observation, ObserverBeyondTheOrderTableIsInternalError) {
    EXPECT_THROW((void)build_observation(new_game(), 4), InternalError);
    const PlacementId bad[] = {30433};
    EXPECT_THROW((void)mask_from_ids(action_table(), bad), InternalError);
}

}  // namespace
}  // namespace krodan
