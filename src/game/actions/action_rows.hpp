#pragma once
// The action table described action by action, for people and for networks: what each of the
// 36400 indices places (its piece and the cells it covers, in the frame of the agent that plays
// it), and where each cell of an agent's frame lies on the board.

#include <array>
#include <cstdint>
#include <span>

#include "game/actions/action_table.hpp"

namespace krodan {

inline constexpr std::size_t MAX_PIECE_CELLS = 5;

struct ActionRows {
    std::span<std::int8_t> piece;   // NUM_ACTIONS: piece index 0-20, -1 where it does not fit
    std::span<std::int16_t> cells;  // NUM_ACTIONS * 5: cell indices (20 * row + column), -1 pads
    std::span<std::int16_t> frame_to_board;  // NUM_AGENTS * 400: board cell of each frame cell
};

// Fills `out` from the process-wide action table.
void describe_actions(const ActionRows& out);

}  // namespace krodan
