#pragma once
// Quarter turns of the board through fixed permutation tables of the 420 bits below the
// beyond-board region. Guard bits map to themselves.

#include <array>
#include <bit>
#include <cstdint>

#include "game/bitboard/bitboard.hpp"
#include "game/checks.hpp"

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
inline constexpr RotationTable ROTATE_CW =
    make_rotation_table([](unsigned r, unsigned c) { return Cell{c, BOARD_ROWS - 1 - r}; });

// A counter-clockwise quarter turn: (r, c) goes to (19 - c, r).
inline constexpr RotationTable ROTATE_CCW =
    make_rotation_table([](unsigned r, unsigned c) { return Cell{BOARD_COLS - 1 - c, r}; });

// A half turn: (r, c) goes to (19 - r, 19 - c); one pass where two quarter turns took two.
inline constexpr RotationTable ROTATE_HALF = make_rotation_table(
    [](unsigned r, unsigned c) { return Cell{BOARD_ROWS - 1 - r, BOARD_COLS - 1 - c}; });

// The Bitboard with bit table[b] set for every set bit b of x. Bits are visited in ascending
// order through 64-bit words, and the result is gathered in words, which keeps the turn of an
// observation to a few instructions per covered cell.
constexpr Bitboard permute(const Bitboard& x, const RotationTable& table) {
    std::array<std::uint64_t, 2 * NUM_LIMBS> words{};  // words[w]: bits 64w to 64w + 63
    for (unsigned w = 0; w < words.size(); ++w) {
        std::uint64_t bits =
            static_cast<std::uint64_t>(x.limbs[NUM_LIMBS - 1 - w / 2] >> (64 * (w % 2)));
        for (; bits != 0; bits &= bits - 1) {
            const unsigned bit = 64 * w + static_cast<unsigned>(std::countr_zero(bits));
            if constexpr (INNER_CHECKS) {
                if (bit >= table.size())
                    throw InternalError("index out of bounds: the len is 420 but the index is " +
                                        std::to_string(bit));
            }
            const unsigned to = table[bit];
            words[to / 64] |= std::uint64_t{1} << (to % 64);
        }
    }
    Bitboard r;
    for (unsigned w = 0; w < words.size(); ++w)
        r.limbs[NUM_LIMBS - 1 - w / 2] |= static_cast<u128>(words[w]) << (64 * (w % 2));
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
            return permute(x, ROTATE_HALF);
        case 3:
            return permute(x, ROTATE_CW);
        default:
            throw InternalError("invalid number of quarter turns " + std::to_string(k));
    }
}

}  // namespace krodan
