#pragma once
// The overlap test of the move search, the innermost loop of the engine. A placement has at most
// five rows and five columns, so every placement covering a cell X lies within four rows and four
// columns of X: within bits X - 88 to X + 88. The search reads the blocked cells around a corner
// cell once, as a 192-bit neighbourhood, and tests each candidate placement with three word ANDs
// against its cells seen from that corner cell. Seen from the covered cell, a placement's cells
// depend only on its orientation and which of its cells that is, so the patterns are few.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "game/bitboard/bitboard.hpp"

namespace krodan {

static_assert(std::endian::native == std::endian::little,
              "the linear board is read with native little-endian loads");

// How far a placement covering a cell can reach from it, in bits: four rows and four columns.
inline constexpr unsigned NEIGHBOURHOOD_REACH = 4 * ROW_STRIDE + 4;

// Bits X - 88 to X + 103 of a board around a cell X; bit X is bit 88 of the neighbourhood.
struct Neighbourhood {
    std::array<std::uint64_t, 3> words{};
    bool operator==(const Neighbourhood&) const = default;
};

// The neighbourhood bits of the centre cell's edge neighbours: above, below, left, right.
inline constexpr std::array<unsigned, 4> SIDE_BITS = {
    NEIGHBOURHOOD_REACH - ROW_STRIDE, NEIGHBOURHOOD_REACH + ROW_STRIDE, NEIGHBOURHOOD_REACH - 1,
    NEIGHBOURHOOD_REACH + 1};

// Bit s set when the neighbourhood holds side s of its centre cell (order of SIDE_BITS).
constexpr unsigned sides_of(const Neighbourhood& n) {
    unsigned sides = 0;
    for (unsigned s = 0; s < SIDE_BITS.size(); ++s)
        sides |= static_cast<unsigned>(n.words[SIDE_BITS[s] / 64] >> (SIDE_BITS[s] % 64) & 1) << s;
    return sides;
}

constexpr bool overlaps(const Neighbourhood& a, const Neighbourhood& b) {
    return ((a.words[0] & b.words[0]) | (a.words[1] & b.words[1]) | (a.words[2] & b.words[2])) != 0;
}

// A board's bits in ascending order in memory, with zero padding before bit 0 and after bit
// 511, so that the neighbourhood of any cell can be read whole.
class LinearBoard {
  public:
    explicit LinearBoard(const Bitboard& x) {
        for (unsigned s = 0; s < NUM_LIMBS; ++s)
            std::memcpy(bytes_.data() + FRONT + 16 * s, &x.limbs[NUM_LIMBS - 1 - s], 16);
    }

    void set_bit(unsigned bit) {
        bytes_[FRONT + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }

    // The 20 cells of a row (0-19), column c as bit c.
    std::uint32_t row(unsigned r) const {
        const unsigned start = 8 * FRONT + r * ROW_STRIDE;
        std::uint32_t word;
        std::memcpy(&word, bytes_.data() + start / 8, sizeof word);
        return (word >> (start % 8)) & ((1u << BOARD_COLS) - 1);
    }

    // The neighbourhood of an on-board bit (below 420).
    Neighbourhood around(unsigned bit) const {
        const unsigned start = 8 * FRONT + bit - NEIGHBOURHOOD_REACH;
        const unsigned shift = start % 8;
        std::array<std::uint64_t, 4> q;
        std::memcpy(q.data(), bytes_.data() + start / 8, sizeof q);
        Neighbourhood n;
        for (unsigned i = 0; i < 3; ++i)
            n.words[i] = (q[i] >> shift) | ((q[i + 1] << 1) << (63 - shift));
        return n;
    }

  private:
    static constexpr unsigned FRONT = 16;  // 128 zero bits: more than the reach
    // The neighbourhood of bit 419 is read as 32 bytes from byte FRONT + (419 - 88) / 8.
    static constexpr unsigned SIZE = FRONT + (BOARD_BITS - NEIGHBOURHOOD_REACH) / 8 + 32;
    static_assert(SIZE >= FRONT + BYTE_IMAGE_SIZE);
    alignas(16) std::array<std::uint8_t, SIZE> bytes_{};
};

}  // namespace krodan
