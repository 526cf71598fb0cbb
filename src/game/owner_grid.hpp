#pragma once
// Who covers each cell: the agent index, or NO_OWNER, by cell index 20 * row + column in the
// board frame. Where a leniently decoded state overlaps, the lowest agent is the owner.

#include <array>
#include <cstdint>

#include "game/game.hpp"

namespace krodan {

inline constexpr std::uint8_t NO_OWNER = 255;

using OwnerGrid = std::array<std::uint8_t, NUM_CELLS>;

constexpr OwnerGrid owner_grid(const Game& game) {
    OwnerGrid grid;
    grid.fill(NO_OWNER);
    for (unsigned a = NUM_AGENTS; a-- > 0;)
        for (unsigned bit : iter_bits(game.agent_states[a].cells))
            if (!is_guard_bit(bit) && bit < BOARD_BITS)
                grid[row_of(bit) * BOARD_COLS + col_of(bit)] = static_cast<std::uint8_t>(a);
    return grid;
}

}  // namespace krodan
