#pragma once
// The 21 pieces every agent owns. A piece has an index 0-20 (its bit in an agent's `remaining`
// mask and in corner bucket keys) and a code, stored in placements and `last_piece`, whose
// value mod 6 is its size.

#include <array>
#include <cstdint>
#include <string_view>

#include "game/internal_error.hpp"

namespace krodan {

enum class Piece : std::uint8_t {
    I1 = 1,
    I2 = 2,
    V3 = 3,
    I3 = 9,
    T4 = 10,
    O = 16,
    L4 = 22,
    I4 = 28,
    Z4 = 34,
    F = 35,
    X = 41,
    P = 47,
    W = 53,
    Z5 = 59,
    Y = 65,
    L5 = 71,
    U = 77,
    T5 = 83,
    V5 = 89,
    N = 95,
    I5 = 101,
};

inline constexpr unsigned NUM_PIECES = 21;
// A `remaining` mask with every piece in hand.
inline constexpr std::uint32_t ALL_PIECES_MASK = (1u << NUM_PIECES) - 1;
// The cells of all 21 pieces.
inline constexpr unsigned TOTAL_PIECE_CELLS = 89;

inline constexpr std::array<Piece, NUM_PIECES> ALL_PIECES = {
    Piece::I1, Piece::I2, Piece::V3, Piece::I3, Piece::T4, Piece::O, Piece::L4,
    Piece::I4, Piece::Z4, Piece::F,  Piece::X,  Piece::P,  Piece::W, Piece::Z5,
    Piece::Y,  Piece::L5, Piece::U,  Piece::T5, Piece::V5, Piece::N, Piece::I5,
};

inline constexpr std::array<std::string_view, NUM_PIECES> PIECE_NAMES = {
    "I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F",  "X",
    "P",  "W",  "Z5", "Y",  "L5", "U", "T5", "V5", "N",  "I5",
};

constexpr std::uint8_t code(Piece p) {
    return static_cast<std::uint8_t>(p);
}

// The number of cells of a piece.
constexpr unsigned size(Piece p) {
    return code(p) % 6;
}

inline constexpr unsigned MAX_PIECE_CODE = code(Piece::I5);

// Piece index by piece code; NUM_PIECES where the number is no piece code.
inline constexpr std::array<std::uint8_t, MAX_PIECE_CODE + 1> PIECE_INDEX_BY_CODE = [] {
    std::array<std::uint8_t, MAX_PIECE_CODE + 1> table{};
    table.fill(NUM_PIECES);
    for (unsigned i = 0; i < NUM_PIECES; ++i)
        table[code(ALL_PIECES[i])] = static_cast<std::uint8_t>(i);
    return table;
}();

constexpr bool is_piece_code(unsigned c) {
    return c <= MAX_PIECE_CODE && PIECE_INDEX_BY_CODE[c] < NUM_PIECES;
}

// The piece index of one of the 21 piece codes.
constexpr unsigned piece_index_of_code(unsigned c) {
    if (!is_piece_code(c)) throw InternalError("not a piece code: " + std::to_string(c));
    return PIECE_INDEX_BY_CODE[c];
}

constexpr unsigned piece_index(Piece p) {
    return PIECE_INDEX_BY_CODE[code(p)];
}

constexpr std::string_view name(Piece p) {
    return PIECE_NAMES[piece_index(p)];
}

}  // namespace krodan
