#pragma once
// Quarter turns of the board through fixed permutation tables of the 420 bits below the
// beyond-board region. Guard bits map to themselves.

#include <array>
#include <cstdint>

#include "game/bitboard/bitboard.hpp"

namespace krodan {

using RotationTable = std::array<std::uint16_t, BOARD_BITS>;

// Builds a table that sends (row, column) to turn(row, column) and guard bits to themselves.
template <class Turn>
constexpr RotationTable make_rotation_table(Turn turn) {
    RotationTable table{};
    for (unsigned bit = 0; bit < BOARD_BITS; ++bit) {
        if (is_guard_bit(bit)) {
            table[bit] = static_cast<std::uint16_t>(bit);
        } else {
            const auto [row, col] = turn(row_of(bit), col_of(bit));
            table[bit] = static_cast<std::uint16_t>(bit_index(row, col));
        }
    }
    return table;
}

struct Cell {
    unsigned row, col;
};

// A clockwise quarter turn: (r, c) goes to (c, 19 - r).
inline constexpr RotationTable ROTATE_CW = make_rotation_table([](unsigned r, unsigned c) {
    return Cell{c, BOARD_ROWS - 1 - r};
});

// A counter-clockwise quarter turn: (r, c) goes to (19 - c, r).
inline constexpr RotationTable ROTATE_CCW = make_rotation_table([](unsigned r, unsigned c) {
    return Cell{BOARD_COLS - 1 - c, r};
});

// The Bitboard with bit table[b] set for every set bit b of x.
constexpr Bitboard permute(const Bitboard& x, const RotationTable& table) {
    Bitboard r;
    for (unsigned bit : iter_bits(x)) {
        if (bit >= table.size())
            throw InternalError("index out of bounds: the len is 420 but the index is " +
                                std::to_string(bit));
        set_bit(r, table[bit]);
    }
    return r;
}

// x turned by k counter-clockwise quarter turns, k in 0-3: agent k's view of the board.
constexpr Bitboard rotate_ccw(const Bitboard& x, unsigned k) {
    switch (k) {
        case 0:
            return x;
        case 1:
            return permute(x, ROTATE_CCW);
        case 2:
            return permute(permute(x, ROTATE_CW), ROTATE_CW);
        case 3:
            return permute(x, ROTATE_CW);
        default:
            throw InternalError("invalid number of quarter turns " + std::to_string(k));
    }
}

}  // namespace krodan
