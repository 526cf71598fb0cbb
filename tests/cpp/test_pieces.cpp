#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "game/pieces/orientation.hpp"
#include "game/pieces/piece.hpp"

namespace krodan {
namespace {

using Shape = std::set<std::pair<int, int>>;

Shape shape_of(const Orientation& o) {
    Shape cells;
    const u128 bits = shape_bits(o);
    for (int b = 0; b < 128; ++b)
        if ((bits >> b) & 1) cells.insert({b / 21, b % 21});
    return cells;
}

// Moves a shape so that its top row and leftmost column are 0.
Shape normalised(const Shape& s) {
    int top = 99, left = 99;
    for (auto [r, c] : s) top = std::min(top, r), left = std::min(left, c);
    Shape out;
    for (auto [r, c] : s) out.insert({r - top, c - left});
    return out;
}

Shape turned(const Shape& s) {
    Shape out;
    for (auto [r, c] : s) out.insert({c, -r});
    return normalised(out);
}

Shape mirrored(const Shape& s) {
    Shape out;
    for (auto [r, c] : s) out.insert({r, -c});
    return normalised(out);
}

TEST(Pieces, CodesIndexesNamesAndSizes) {
    unsigned previous = 0, cells = 0;
    for (unsigned i = 0; i < NUM_PIECES; ++i) {
        const Piece p = ALL_PIECES[i];
        // Each code is the smallest number above the previous one with the piece's size mod 6.
        unsigned expected = previous + 1;
        while (expected % 6 != size(p)) ++expected;
        EXPECT_EQ(code(p), expected) << name(p);
        EXPECT_EQ(piece_index_of_code(code(p)), i);
        previous = code(p);
        cells += size(p);
    }
    EXPECT_EQ(cells, TOTAL_PIECE_CELLS);
    EXPECT_EQ(piece_index_of_code(101), 20u);
    EXPECT_EQ(size(Piece::I5), 5u);
    EXPECT_EQ(size(Piece::Z4), 4u);
    const std::vector<std::string_view> names(PIECE_NAMES.begin(), PIECE_NAMES.end());
    EXPECT_EQ(names, (std::vector<std::string_view>{"I1", "I2", "V3", "I3", "T4", "O", "L4",
                                                    "I4", "Z4", "F",  "X",  "P",  "W", "Z5",
                                                    "Y",  "L5", "U",  "T5", "V5", "N", "I5"}));
    EXPECT_FALSE(is_piece_code(0));
    EXPECT_FALSE(is_piece_code(4));
    EXPECT_FALSE(is_piece_code(102));
    EXPECT_THROW((void)piece_index_of_code(4), InternalError);
}

TEST(Orientations, CountsPerPieceAndOrder) {
    const auto orientations = build_orientations();
    ASSERT_EQ(orientations.size(), 91u);
    const std::vector<unsigned> expected = {1, 2, 4, 2, 4, 1, 8, 2, 4, 8, 1,
                                            8, 4, 4, 8, 8, 4, 4, 4, 8, 2};
    std::vector<unsigned> counts(NUM_PIECES);
    for (std::size_t id = 0; id < orientations.size(); ++id) {
        const Orientation& o = orientations[id];
        const unsigned piece = piece_index_of_code(o.piece);
        EXPECT_EQ(o.variant, counts[piece]) << "id " << id;
        ++counts[piece];
        if (id > 0) {
            EXPECT_GE(o.piece, orientations[id - 1].piece);
        }
    }
    EXPECT_EQ(counts, expected);
}

TEST(Orientations, CellCountsAndExtents) {
    for (const Orientation& o : build_orientations()) {
        const Shape cells = shape_of(o);
        EXPECT_EQ(cells.size(), o.piece % 6u);
        int height = 0, width = 0;
        for (auto [r, c] : cells) height = std::max(height, r + 1), width = std::max(width, c + 1);
        EXPECT_EQ(o.max_row + height, 20u);
        EXPECT_EQ(o.max_col + width, 20u);
        EXPECT_EQ(o.rows.size(), static_cast<std::size_t>(height));
        EXPECT_EQ(normalised(cells), cells) << "top-left corner of the bounding box at (0, 0)";
    }
}

TEST(Orientations, EachPieceIsExactlyItsDistinctTurnsAndMirrorImages) {
    const auto orientations = build_orientations();
    std::vector<std::set<Shape>> by_piece(NUM_PIECES);
    for (const Orientation& o : orientations) {
        const bool inserted = by_piece[piece_index_of_code(o.piece)].insert(shape_of(o)).second;
        EXPECT_TRUE(inserted) << "duplicate shape of piece code " << int(o.piece);
    }
    for (const auto& shapes : by_piece) {
        for (const Shape& s : shapes) {
            EXPECT_TRUE(shapes.count(turned(s)));
            EXPECT_TRUE(shapes.count(mirrored(s)));
        }
    }
}

TEST(Orientations, ShapeBits) {
    const auto orientations = build_orientations();
    EXPECT_EQ(shape_bits(orientations[0]), u128{1});
    EXPECT_EQ(shape_bits(orientations[2]), u128{1} | (u128{1} << 21));
    u128 vertical_i5 = 0;
    for (int b : {0, 21, 42, 63, 84}) vertical_i5 |= u128{1} << b;
    EXPECT_EQ(shape_bits(orientations[90]), vertical_i5);
    // "U" variant 0 is X.X / XXX: the gap leaves (0, 1) empty.
    const Orientation& u = orientations[69];
    EXPECT_EQ(u.rows[0], (RowRun{1, 0, 2}));
    EXPECT_EQ(u.rows[1], (RowRun{std::nullopt, 0, 3}));
    EXPECT_EQ(shape_of(u), (Shape{{0, 0}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}));
    // A row .XX is one run starting at column 1.
    EXPECT_EQ(orientations[26].rows[0], (RowRun{std::nullopt, 1, 2}));
}

TEST(Orientations, GapBeyondTheRowIsInternalError) {
    Orientation o;
    o.rows = {RowRun{3, 0, 2}};
    EXPECT_THROW((void)shape_bits(o), InternalError);
}

}  // namespace
}  // namespace krodan
