#include <gtest/gtest.h>

#include <vector>

#include <random>
#include "game/bitboard/bitboard.hpp"
#include "game/bitboard/neighbourhood.hpp"
#include "game/bitboard/rotation.hpp"

namespace krodan {
namespace {

std::vector<unsigned> bits_of(const Bitboard& x) {
    std::vector<unsigned> bits;
    for (unsigned b : iter_bits(x)) bits.push_back(b);
    return bits;
}

Bitboard cells(std::initializer_list<std::pair<unsigned, unsigned>> rc) {
    Bitboard x;
    for (auto [r, c] : rc) set_bit(x, bit_index(r, c));
    return x;
}

TEST(Geometry, Numberings) {
    EXPECT_EQ(bit_index(19, 19), 418u);
    EXPECT_EQ(cell_index(418), 399u);
    EXPECT_EQ(cell_index(21), 20u);
    EXPECT_EQ(cell_index(bit_index(7, 13)), 7u * 20 + 13);
}

TEST(Bitboard, BoardMaskWords) {
    const std::uint64_t words[8] = {
        0xBFFFFDFFFFEFFFFF, 0xDFFFFEFFFFF7FFFF, 0xEFFFFF7FFFFBFFFF, 0xF7FFFFBFFFFDFFFF,
        0xFBFFFFDFFFFEFFFF, 0xFDFFFFEFFFFF7FFF, 0x00000007FFFFBFFF, 0};
    for (unsigned w = 0; w < 8; ++w) {
        const u128 limb = BOARD_MASK.limbs[limb_of(64 * w)];
        EXPECT_EQ(static_cast<std::uint64_t>(limb >> (64 * (w % 2))), words[w]) << "word " << w;
    }
    EXPECT_EQ(popcount(BOARD_MASK), 400u);
}

TEST(Bitboard, LimbOrderAndByteImage) {
    const Bitboard origin = single_cell(0);
    EXPECT_EQ(origin.limbs[3], u128{1});
    auto image = byte_image(origin);
    for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(image[i], i == 48 ? 1 : 0) << i;

    image = byte_image(single_cell(418));
    for (unsigned i = 0; i < 64; ++i) EXPECT_EQ(image[i], i == 4 ? 4 : 0) << i;

    // Each limb lands in its documented byte range.
    const unsigned first_byte_of_bit[] = {48, 56, 32, 40, 16, 24, 0, 8};
    for (unsigned w = 0; w < 8; ++w) {
        image = byte_image(single_cell(64 * w));
        EXPECT_EQ(image[first_byte_of_bit[w]], 1) << "bit " << 64 * w;
    }
}

TEST(Bitboard, ByteImageRoundTrip) {
    Bitboard x = cells({{0, 0}, {5, 7}, {19, 19}, {12, 3}, {6, 2}});
    set_bit(x, 511);
    const auto image = byte_image(x);
    EXPECT_EQ(from_byte_image(image.data()), x);
}

TEST(Bitboard, IterBitsAscendingAcrossLimbs) {
    const std::vector<unsigned> bits = {0, 5, 127, 128, 200, 255, 256, 383, 384, 418, 511};
    Bitboard x;
    for (unsigned b : bits) set_bit(x, b);
    EXPECT_EQ(bits_of(x), bits);
    EXPECT_TRUE(bits_of(Bitboard{}).empty());
}

TEST(Bitboard, SetBitOutOfRangeIsInternalError) {
    Bitboard x;
    EXPECT_THROW(set_bit(x, 512), InternalError);
}

TEST(Bitboard, EmptinessLooksAtBoardBitsOnly) {
    Bitboard x;
    set_bit(x, 420);
    set_bit(x, 511);
    EXPECT_TRUE(is_empty(x));
    set_bit(x, 419);
    EXPECT_FALSE(is_empty(x));
    EXPECT_TRUE(intersects(single_cell(300), single_cell(300)));
    EXPECT_FALSE(intersects(single_cell(300), single_cell(301)));
}

TEST(Bitboard, ShiftsCarryAcrossLimbsAndDropAtTheEnds) {
    for (unsigned from : {0u, 100u, 127u, 128u, 250u, 383u, 400u}) {
        for (unsigned n : {1u, 20u, 21u, 22u, 64u, 128u, 129u, 300u}) {
            const Bitboard x = single_cell(from);
            const Bitboard left = shift_left(x, n);
            const Bitboard right = shift_right(x, n);
            EXPECT_EQ(left, from + n < 512 ? single_cell(from + n) : Bitboard{})
                << from << "+" << n;
            EXPECT_EQ(right, from >= n ? single_cell(from - n) : Bitboard{}) << from << "-" << n;
        }
    }
    // A move down from row 19 lands beyond the board, not on it.
    EXPECT_EQ(shift_left(single_cell(418), 21), single_cell(439));
}

TEST(Bitboard, EdgeNeighbours) {
    EXPECT_EQ(edge_neighbours(cells({{0, 19}})), cells({{0, 18}, {1, 19}}));
    EXPECT_EQ(edge_neighbours(cells({{5, 0}})), cells({{4, 0}, {6, 0}, {5, 1}}));
    for (unsigned c = 0; c < 20; ++c) {
        const Bitboard n = edge_neighbours(cells({{19, c}}));
        for (unsigned b : iter_bits(n)) EXPECT_LT(b, 420u);
    }
    // Column 19 never wraps into column 0 of the next row, nor column 0 into column 19.
    for (unsigned r = 0; r < 20; ++r) {
        EXPECT_FALSE(edge_neighbours(cells({{r, 19}})).test(bit_index(r + 1, 0)));
        if (r > 0) {
            EXPECT_FALSE(edge_neighbours(cells({{r, 0}})).test(bit_index(r - 1, 19)));
        }
    }
}

TEST(Bitboard, DiagonalNeighbours) {
    EXPECT_EQ(diagonal_neighbours(cells({{0, 0}})), cells({{1, 1}}));
    EXPECT_EQ(diagonal_neighbours(cells({{19, 19}})), cells({{18, 18}}));
    EXPECT_EQ(diagonal_neighbours(cells({{4, 19}})), cells({{3, 18}, {5, 18}}));
    EXPECT_EQ(diagonal_neighbours(cells({{4, 0}})), cells({{3, 1}, {5, 1}}));
    EXPECT_EQ(diagonal_neighbours(cells({{4, 4}})), cells({{3, 3}, {3, 5}, {5, 3}, {5, 5}}));
}

TEST(Bitboard, Translate) {
    EXPECT_EQ(translate(1, 19, 19), single_cell(418));
    EXPECT_EQ(translate(1, 3, 2), cells({{2, 3}}));
    const u128 vertical_i2 = 1 | (u128{1} << 21);
    EXPECT_EQ(translate(vertical_i2, 19, 18), cells({{18, 19}, {19, 19}}));
    try {
        (void)translate(1, 20, 0);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Invalid translation of (0,0) to (20,0)");
    }
    try {
        (void)translate(1, 3, 25);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Invalid translation of (0,0) to (3,25)");
    }
}

TEST(Rotation, Tables) {
    EXPECT_EQ(ROTATE_CW[0], 19);
    EXPECT_EQ(ROTATE_CW[19], 418);
    EXPECT_EQ(ROTATE_CCW[0], 399);
    EXPECT_EQ(ROTATE_CCW[19], 0);
    for (unsigned b = 0; b < BOARD_BITS; ++b) {
        EXPECT_LT(ROTATE_CW[b], BOARD_BITS);
        EXPECT_EQ(ROTATE_CCW[ROTATE_CW[b]], b);
        EXPECT_EQ(is_guard_bit(ROTATE_CW[b]), is_guard_bit(b));
        if (is_guard_bit(b)) {
            EXPECT_EQ(ROTATE_CW[b], b);
        }
    }
    EXPECT_EQ(permute(single_cell(0), ROTATE_CW), single_cell(19));
    EXPECT_EQ(permute(single_cell(0), ROTATE_CCW), single_cell(399));
}

TEST(Rotation, RotateCcwBringsEachStartCellToTheOrigin) {
    EXPECT_EQ(rotate_ccw(cells({{0, 19}}), 1), single_cell(0));
    EXPECT_EQ(rotate_ccw(cells({{19, 19}}), 2), single_cell(0));
    EXPECT_EQ(rotate_ccw(cells({{19, 0}}), 3), single_cell(0));
    const Bitboard x = cells({{0, 1}, {3, 7}, {19, 4}, {11, 19}});
    EXPECT_EQ(rotate_ccw(rotate_ccw(x, 1), 3), x);
    EXPECT_EQ(rotate_ccw(rotate_ccw(x, 2), 2), x);
    EXPECT_EQ(rotate_ccw(x, 0), x);
    EXPECT_EQ(rotate_ccw(rotate_ccw(x, 1), 1), rotate_ccw(x, 2));
    EXPECT_THROW((void)rotate_ccw(x, 4), InternalError);
}

TEST(Rotation, PermuteRefusesBitsBeyondTheTable) {
    EXPECT_THROW((void)permute(single_cell(420), ROTATE_CW), InternalError);
}

TEST(Neighbourhood, ReadsTheBitsAroundACellAtTheBoardsEdges) {
    for (unsigned centre : {0u, 19u, 87u, 88u, 200u, 399u, 418u}) {
        for (int offset : {-88, -87, -22, -21, -1, 0, 1, 21, 88, 103}) {
            const int bit = static_cast<int>(centre) + offset;
            if (bit < 0 || bit >= 512) continue;
            const Neighbourhood n = LinearBoard(single_cell(bit)).around(centre);
            const unsigned k = static_cast<unsigned>(offset + 88);
            Neighbourhood expected;
            expected.words[k / 64] = std::uint64_t{1} << (k % 64);
            EXPECT_EQ(n, expected) << centre << " " << offset;
        }
    }
    LinearBoard board{Bitboard{}};
    board.set_bit(bit_index(19, 18));
    EXPECT_TRUE(
        overlaps(board.around(418), LinearBoard(single_cell(bit_index(19, 18))).around(418)));
    EXPECT_FALSE(overlaps(board.around(418), LinearBoard(single_cell(418)).around(418)));
}

}  // namespace
}  // namespace krodan
