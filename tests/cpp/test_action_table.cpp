#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "game/actions/action_table.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/pieces/orientation.hpp"

namespace krodan {
namespace {

std::vector<PlacementId> as_vector(std::span<const PlacementId> ids) {
    return {ids.begin(), ids.end()};
}

TEST(ActionTable, Sizes) {
    const ActionTable& t = action_table();
    EXPECT_EQ(t.placements.size(), 30433u);
    EXPECT_EQ(t.action_placement.size(), 36400u);
    EXPECT_EQ(std::count(t.action_placement.begin(), t.action_placement.end(), std::nullopt), 5967);
    ASSERT_EQ(t.bucket_offsets.size(), 8821u);
    EXPECT_EQ(t.bucket_offsets.front(), 0u);
    EXPECT_EQ(t.bucket_offsets.back(), 137444u);
    EXPECT_EQ(t.bucket_ids.size(), 137444u);
    for (const auto& ids : t.absolute_ids) EXPECT_EQ(ids.size(), 30433u);
    EXPECT_TRUE(std::is_sorted(t.bucket_offsets.begin(), t.bucket_offsets.end()));
}

TEST(ActionTable, PlacementsFollowOrientationRowColumnOrder) {
    const ActionTable& t = action_table();
    const auto orientations = build_orientations();
    std::size_t id = 0;
    for (std::size_t o = 0; o < orientations.size(); ++o) {
        const std::size_t run = (orientations[o].max_row + 1) * (orientations[o].max_col + 1);
        const std::size_t first = id;
        for (std::size_t k = 0; k < run; ++k, ++id) {
            EXPECT_EQ(t.placements[id].piece, orientations[o].piece);
            EXPECT_EQ(t.placements[id].action / 400, o);
            if (id > 0) {
                EXPECT_GT(t.placements[id].action, t.placements[id - 1].action);
            }
        }
        if (o == 0) {
            EXPECT_EQ(first, 0u);
        }
        if (o == 1) {
            EXPECT_EQ(first, 400u);
        }
        if (o == 2) {
            EXPECT_EQ(first, 780u);
        }
        if (o == 90) {
            EXPECT_EQ(first, 30113u);
        }
    }
    EXPECT_EQ(id, 30433u);
}

TEST(ActionTable, ActionsDenotePlacements) {
    const ActionTable& t = action_table();
    EXPECT_EQ(t.action_placement[0], 0u);
    EXPECT_EQ(t.action_placement[400], 400u);
    EXPECT_EQ(t.action_placement[419], std::nullopt);
    EXPECT_EQ(t.action_placement[36399], std::nullopt);
    EXPECT_EQ(t.action_placement[36319], 30432u);
    for (std::size_t a = 0; a < t.action_placement.size(); ++a)
        if (t.action_placement[a]) {
            EXPECT_EQ(t.placements[*t.action_placement[a]].action, a);
        }
    // Guard bits and beyond-board bits are never covered.
    for (const Placement& p : t.placements) EXPECT_EQ(p.cells & BOARD_MASK, p.cells);
}

TEST(ActionTable, Lookup) {
    const ActionTable& t = action_table();
    const auto orientations = build_orientations();
    for (unsigned agent = 0; agent < NUM_AGENTS; ++agent) {
        EXPECT_EQ(t.lookup(agent, 36400), nullptr);
        EXPECT_EQ(t.lookup(agent, ~std::uint64_t{0}), nullptr);
        for (std::size_t o = 0; o < orientations.size(); ++o) {
            // One row too low and one column too far right each denote nothing.
            if (orientations[o].max_row < 19) {
                EXPECT_EQ(t.lookup(agent, o * 400 + (orientations[o].max_row + 1) * 20), nullptr);
            }
            if (orientations[o].max_col < 19) {
                EXPECT_EQ(t.lookup(agent, o * 400 + orientations[o].max_col + 1), nullptr) << o;
            }
        }
    }
    EXPECT_EQ(t.lookup(0, 0), &t.placements[0]);
    EXPECT_EQ(t.lookup(2, 0)->cells, single_cell(418));
}

TEST(ActionTable, AbsoluteIdsTurnAgentFramesToTheBoard) {
    const ActionTable& t = action_table();
    EXPECT_EQ(t.absolute_ids[0][0], 0);
    EXPECT_EQ(t.absolute_ids[1][0], 19);
    EXPECT_EQ(t.absolute_ids[2][0], 399);
    EXPECT_EQ(t.absolute_ids[3][0], 380);
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        for (std::size_t id = 0; id < t.placements.size(); ++id) {
            const Placement& board = t.placements[t.absolute_ids[a][id]];
            ASSERT_EQ(board.piece, t.placements[id].piece);
            ASSERT_EQ(rotate_ccw(board.cells, a), t.placements[id].cells) << a << " " << id;
        }
    }
}

TEST(ActionTable, CornerBuckets) {
    const ActionTable& t = action_table();
    EXPECT_EQ(as_vector(t.bucket(0, 0)), (std::vector<PlacementId>{0}));
    EXPECT_EQ(as_vector(t.bucket(0, 20)), (std::vector<PlacementId>{29793, 30113}));
    std::size_t largest = 0;
    for (unsigned bit = 0; bit < BOARD_BITS; ++bit) {
        for (unsigned piece = 0; piece < NUM_PIECES; ++piece) {
            const auto ids = t.bucket(bit, piece);
            if (is_guard_bit(bit)) {
                EXPECT_TRUE(ids.empty()) << bit;
            }
            EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
            largest = std::max(largest, ids.size());
            for (PlacementId id : ids) {
                EXPECT_TRUE(t.placements[id].cells.test(bit));
                EXPECT_EQ(piece_index_of_code(t.placements[id].piece), piece);
            }
        }
    }
    EXPECT_EQ(largest, 40u);
    // An inner cell of the eight-orientation five-cell piece "F" sits in 40 placements.
    EXPECT_EQ(t.bucket(bit_index(10, 10), 9).size(), 40u);
    EXPECT_THROW((void)t.bucket(BOARD_BITS, 0), InternalError);
}

TEST(ActionTable, RelativeShapesAgreeWithTheFullIntersection) {
    const ActionTable& t = action_table();
    // One pattern per orientation and covered cell.
    EXPECT_EQ(t.relative_shapes.size(), 414u);
    ASSERT_EQ(t.bucket_shapes.size(), t.bucket_ids.size());
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 12; ++trial) {
        Bitboard blocked;
        for (unsigned bit = 0; bit < BOARD_BITS; ++bit)
            if (!is_guard_bit(bit) && rng() % 5 == 0) set_bit(blocked, bit);
        const LinearBoard board(blocked);
        for (unsigned bit = 0; bit < BOARD_BITS; ++bit) {
            if (is_guard_bit(bit)) continue;
            const Neighbourhood around = board.around(bit);
            for (unsigned piece = 0; piece < NUM_PIECES; ++piece) {
                const auto [begin, end] = t.bucket_range(bit, piece);
                for (std::size_t k = begin; k < end; ++k) {
                    const Placement& p = t.placements[t.bucket_ids[k]];
                    ASSERT_EQ(overlaps(t.relative_shapes[t.bucket_shapes[k]], around),
                              intersects(p.cells, blocked));
                }
            }
        }
    }
}

TEST(ActionTable, OneTablePerProcessAcrossThreads) {
    std::vector<const ActionTable*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &action_table(); });
    for (auto& th : threads) th.join();
    for (const ActionTable* t : seen) EXPECT_EQ(t, &action_table());
}

}  // namespace
}  // namespace krodan
