#pragma once
// The overlap test of the move search, the innermost loop of the engine. A placement covers
// at most five consecutive rows (at most 105 bits from its lowest bit), so with the board's
// bits laid out in ascending order its cells fit in 16 bytes starting at the byte of its
// lowest bit. Testing a candidate is then two unaligned 64-bit loads and two ANDs instead of
// an intersection of all 512 bits.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "game/bitboard/bitboard.hpp"

namespace krodan {

static_assert(std::endian::native == std::endian::little,
              "the linear board is read with native little-endian loads");

// A set of at most 105 consecutive bits of the board, as 16 bytes at a byte offset.
struct BoardWindow {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::uint16_t byte_offset = 0;
};

// The board's bits 0-511 in ascending order, with 16 zero bytes of padding so that a window
// near the end can be loaded whole.
class LinearBoard {
public:
    static constexpr unsigned SIZE = BYTE_IMAGE_SIZE + 16;

    explicit LinearBoard(const Bitboard& x) {
        for (unsigned s = 0; s < NUM_LIMBS; ++s)
            std::memcpy(bytes_.data() + 16 * s, &x.limbs[NUM_LIMBS - 1 - s], 16);
    }

    void set_bit(unsigned bit) { bytes_[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8)); }

    bool overlaps(const BoardWindow& w) const {
        std::uint64_t low, high;
        std::memcpy(&low, bytes_.data() + w.byte_offset, 8);
        std::memcpy(&high, bytes_.data() + w.byte_offset + 8, 8);
        return ((low & w.low) | (high & w.high)) != 0;
    }

    // The window holding every set bit of x; x must span at most 121 bits from the byte of its
    // lowest bit.
    static BoardWindow window_of(const Bitboard& x) {
        if (is_empty(x)) throw InternalError("window of an empty placement");
        const LinearBoard board(x);
        const unsigned first = *iter_bits(x).begin();
        BoardWindow w;
        w.byte_offset = static_cast<std::uint16_t>(first / 8);
        std::memcpy(&w.low, board.bytes_.data() + w.byte_offset, 8);
        std::memcpy(&w.high, board.bytes_.data() + w.byte_offset + 8, 8);
        if (static_cast<unsigned>(std::popcount(w.low) + std::popcount(w.high)) != popcount(x))
            throw InternalError("placement does not fit in a 128-bit window");
        return w;
    }

private:
    alignas(16) std::array<std::uint8_t, SIZE> bytes_{};
};

}  // namespace krodan
