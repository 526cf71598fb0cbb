#include "game/actions/action_rows.hpp"

#include <algorithm>

#include "game/bitboard/board_geometry.hpp"
#include "game/internal_error.hpp"

namespace krodan {

void describe_actions(const ActionRows& out) {
    if (out.piece.size() != NUM_ACTIONS || out.cells.size() != NUM_ACTIONS * MAX_PIECE_CELLS ||
        out.frame_to_board.size() != NUM_AGENTS * NUM_CELLS)
        throw InternalError("describe_actions takes one row per action and per frame cell");
    const ActionTable& table = action_table();
    std::fill(out.piece.begin(), out.piece.end(), std::int8_t{-1});
    std::fill(out.cells.begin(), out.cells.end(), std::int16_t{-1});
    for (std::size_t action = 0; action < NUM_ACTIONS; ++action) {
        const auto id = table.action_placement[action];
        if (!id) continue;
        const Placement& placement = table.placements[*id];
        out.piece[action] = static_cast<std::int8_t>(piece_index_of_code(placement.piece));
        std::size_t k = 0;
        for (const unsigned bit : iter_bits(placement.cells)) {
            if (k == MAX_PIECE_CELLS) throw InternalError("a piece of more than five cells");
            out.cells[action * MAX_PIECE_CELLS + k++] =
                static_cast<std::int16_t>(row_of(bit) * BOARD_COLS + col_of(bit));
        }
    }
    // A one-cell piece covers each cell alone: where agent a's frame puts it on the board is
    // where that frame cell lies.
    for (std::size_t action = 0; action < NUM_ACTIONS; ++action) {
        const auto id = table.action_placement[action];
        if (!id || popcount(table.placements[*id].cells) != 1) continue;
        const unsigned frame_bit = *iter_bits(table.placements[*id].cells).begin();
        const unsigned frame_cell = row_of(frame_bit) * BOARD_COLS + col_of(frame_bit);
        for (unsigned a = 0; a < NUM_AGENTS; ++a) {
            const Placement& on_board = table.placements[table.absolute_ids[a][*id]];
            const unsigned bit = *iter_bits(on_board.cells).begin();
            out.frame_to_board[a * NUM_CELLS + frame_cell] =
                static_cast<std::int16_t>(row_of(bit) * BOARD_COLS + col_of(bit));
        }
    }
}

}  // namespace krodan
