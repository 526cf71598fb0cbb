#pragma once
// Orientation records: the cells of one fixed orientation as one run of filled cells per row,
// with the largest anchor at which it still fits on the board.

#include <cstdint>
#include <optional>
#include <vector>

#include "game/bitboard/bitboard.hpp"
#include "game/pieces/piece.hpp"

namespace krodan {

// One row of an orientation: `start` empty columns, `len` filled ones, and for the rows of
// "U" with an empty middle cell, one empty column inserted at `gap`.
struct RowRun {
    std::optional<std::uint64_t> gap;
    std::uint64_t start = 0;
    std::uint64_t len = 0;
    bool operator==(const RowRun&) const = default;
};

struct Orientation {
    std::vector<RowRun> rows;  // top row first; the count is the height
    std::uint64_t variant = 0;
    std::uint64_t max_row = 0;  // 20 - height
    std::uint64_t max_col = 0;  // 20 - width
    std::uint8_t piece = 0;     // piece code
};

// The 91 orientations in id order (piece code, then variant).
std::vector<Orientation> build_orientations();

// The orientation's cells with its top-left corner at bit 0, in the board's row stride of 21.
u128 shape_bits(const Orientation& orientation);

}  // namespace krodan
