#pragma once
// Board coordinates and the two numberings of a cell. Rows are 21 bits apart: columns 0-19
// and one guard column that is never set, so a move off either edge lands on a guard bit.

namespace krodan {

inline constexpr unsigned BOARD_ROWS = 20;
inline constexpr unsigned BOARD_COLS = 20;
inline constexpr unsigned ROW_STRIDE = 21;
inline constexpr unsigned NUM_CELLS = BOARD_ROWS * BOARD_COLS;
// Bits 0-419: the 20 rows with their guard bits; bits 420-511 lie beyond the board.
inline constexpr unsigned BOARD_BITS = BOARD_ROWS * ROW_STRIDE;
inline constexpr unsigned BITBOARD_BITS = 512;

// The bit of (row, column) in a Bitboard.
constexpr unsigned bit_index(unsigned row, unsigned col) {
    return ROW_STRIDE * row + col;
}

// The cell index 20 * row + column of an on-board bit.
constexpr unsigned cell_index(unsigned bit) {
    return bit - bit / ROW_STRIDE;
}

constexpr unsigned row_of(unsigned bit) {
    return bit / ROW_STRIDE;
}
constexpr unsigned col_of(unsigned bit) {
    return bit % ROW_STRIDE;
}

// Whether a bit below 420 is the guard column of its row.
constexpr bool is_guard_bit(unsigned bit) {
    return bit % ROW_STRIDE == BOARD_COLS;
}

}  // namespace krodan
