// The kept list's pass against the placements' own cells: every action of the board frame, with
// seeded random cells marked and pieces gone, is kept exactly when its placement covers no
// marked cell and its piece is still in hand.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "game/covered_windows.hpp"
#include "game/game.hpp"

namespace krodan {
namespace {

TEST(CoveredWindows, KeepExactlyThePlacementsMissingTheMarkedCells) {
    const ActionTable& table = *new_game().table;
    std::vector<std::uint16_t> every;
    for (std::uint16_t action = 0; action < NUM_ACTIONS; ++action)
        if (table.lookup(0, action) != nullptr) every.push_back(action);
    ASSERT_EQ(every.size(), table.placements.size());

    std::mt19937_64 rng(11);
    for (unsigned marks : {0u, 1u, 3u, 12u, 40u, 150u}) {
        for (unsigned round = 0; round < 4; ++round) {
            CoveredWindows windows;
            Bitboard marked;
            std::uniform_int_distribution<unsigned> cell(0, BOARD_COLS - 1);
            for (unsigned k = 0; k < marks; ++k) {
                const unsigned row = cell(rng), col = cell(rng);
                windows.mark(row, col);
                set_bit(marked, bit_index(row, col));
            }
            const auto gone = static_cast<std::uint32_t>(rng()) & ALL_PIECES_MASK &
                              static_cast<std::uint32_t>(rng());
            std::vector<std::uint16_t> expected;
            for (std::uint16_t action : every) {
                const Placement& p = *table.lookup(0, action);
                if (!intersects(p.cells, marked) && (gone >> piece_index_of_code(p.piece) & 1) == 0)
                    expected.push_back(action);
            }
            std::vector<std::uint16_t> got = every;
            got.resize(keep_uncovered(got.data(), got.size(), windows, gone));
            ASSERT_EQ(got, expected) << marks << " cells marked, round " << round;
        }
    }
}

}  // namespace
}  // namespace krodan
