#pragma once
// The pass that brings a kept legal list up to date: it drops every listed action whose
// placement covers a marked cell (a cell placed since, or along the agent's new cells) or whose
// piece is gone. A placement lies in the 5 x 5 box below and right of its anchor, so the marked
// cells are kept as one 5 x 5 window per anchor, readable with one load and one shift: each
// anchor row's five rows are interleaved column by column (bit 5 * column + k is row + k of
// that column), so the window of anchor (row, column) starts at bit 5 * column. Each orientation
// is a 25-bit pattern in the same layout, and a listed action is tested with one AND. The
// windows are written for the cells marked, not for the 400 anchors.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "game/bitboard/board_geometry.hpp"

namespace krodan {

class CoveredWindows {
  public:
    static constexpr unsigned REACH = 5;         // bounding boxes are at most 5 x 5
    static constexpr unsigned ROW_BYTES = 16;    // 100 bits: 20 columns of 5 rows
    static constexpr unsigned WINDOW_BITS = 25;  // REACH * REACH

    // Marks cell (row, column) of the list's frame.
    void mark(unsigned row, unsigned col) {
        const unsigned first = row >= REACH - 1 ? row - (REACH - 1) : 0;
        for (unsigned anchor_row = first; anchor_row <= row; ++anchor_row) {
            const unsigned bit = REACH * col + (row - anchor_row);
            bytes_[ROW_BYTES * anchor_row + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }

    // The marked cells of the 5 x 5 box at (row, column), bit 5 * j + k being (row + k,
    // column + j); bits 25-31 are not part of it.
    std::uint32_t window(unsigned row, unsigned col) const {
        const unsigned bit = REACH * col;
        std::uint32_t word;
        std::memcpy(&word, bytes_.data() + ROW_BYTES * row + bit / 8, sizeof word);
        return word >> (bit % 8);
    }

    const std::uint8_t* bytes() const { return bytes_.data(); }

  private:
    // Anchor rows 0-19, and room for a 4-byte read at the last window of the last row.
    alignas(32) std::array<std::uint8_t, ROW_BYTES * BOARD_ROWS + ROW_BYTES> bytes_{};
};

// Keeps, in order and in place, the actions (own frame, ascending or not) whose placement
// covers no marked cell and whose piece is not in `gone_pieces`; returns how many it kept.
std::size_t keep_uncovered(std::uint16_t* actions, std::size_t count, const CoveredWindows& windows,
                           std::uint32_t gone_pieces);

}  // namespace krodan
