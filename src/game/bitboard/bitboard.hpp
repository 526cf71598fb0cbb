#pragma once
// The Bitboard: one bit per board cell, 512 bits held as four unsigned 128-bit limbs, most
// significant limb first (limb 0 holds bits 384-511, limb 3 bits 0-127).

#include <array>
#include <bit>
#include <cstdint>
#include <iterator>
#include <string>

#include "game/bitboard/board_geometry.hpp"
#include "game/internal_error.hpp"

namespace krodan {

__extension__ typedef unsigned __int128 u128;

inline constexpr unsigned LIMB_BITS = 128;
inline constexpr unsigned NUM_LIMBS = 4;
inline constexpr unsigned BYTE_IMAGE_SIZE = 64;

// The limb that holds bit b, counted from the most significant limb.
constexpr unsigned limb_of(unsigned bit) {
    return NUM_LIMBS - 1 - bit / LIMB_BITS;
}

constexpr u128 make_u128(std::uint64_t high, std::uint64_t low) {
    return (static_cast<u128>(high) << 64) | low;
}

struct Bitboard {
    std::array<u128, NUM_LIMBS> limbs{};

    constexpr bool operator==(const Bitboard&) const = default;

    constexpr bool test(unsigned bit) const {
        return bit < BITBOARD_BITS && ((limbs[limb_of(bit)] >> (bit % LIMB_BITS)) & 1) != 0;
    }
};

// Sets bit b; a bit beyond the 512 is a violated invariant.
constexpr void set_bit(Bitboard& x, unsigned bit) {
    if (bit >= BITBOARD_BITS)
        throw InternalError("bit index " + std::to_string(bit) + " out of range");
    x.limbs[limb_of(bit)] |= u128{1} << (bit % LIMB_BITS);
}

constexpr Bitboard single_cell(unsigned bit) {
    Bitboard x;
    set_bit(x, bit);
    return x;
}

constexpr Bitboard operator|(const Bitboard& a, const Bitboard& b) {
    return {{a.limbs[0] | b.limbs[0], a.limbs[1] | b.limbs[1], a.limbs[2] | b.limbs[2],
             a.limbs[3] | b.limbs[3]}};
}

constexpr Bitboard operator&(const Bitboard& a, const Bitboard& b) {
    return {{a.limbs[0] & b.limbs[0], a.limbs[1] & b.limbs[1], a.limbs[2] & b.limbs[2],
             a.limbs[3] & b.limbs[3]}};
}

constexpr Bitboard& operator|=(Bitboard& a, const Bitboard& b) {
    return a = a | b;
}

// a ∩ ¬b.
constexpr Bitboard difference(const Bitboard& a, const Bitboard& b) {
    return {{a.limbs[0] & ~b.limbs[0], a.limbs[1] & ~b.limbs[1], a.limbs[2] & ~b.limbs[2],
             a.limbs[3] & ~b.limbs[3]}};
}

// Bits 384-419 of limb 0: the part of the top limb that emptiness tests look at.
inline constexpr u128 TOP_LIMB_BOARD_BITS = (u128{1} << (BOARD_BITS - 3 * LIMB_BITS)) - 1;

// True when no bit below 420 is set.
constexpr bool is_empty(const Bitboard& x) {
    return ((x.limbs[0] & TOP_LIMB_BOARD_BITS) | x.limbs[1] | x.limbs[2] | x.limbs[3]) == 0;
}

// True when a and b share a bit below 420.
constexpr bool intersects(const Bitboard& a, const Bitboard& b) {
    return !is_empty(a & b);
}

// The set bits of a word. The portable build targets processors without a popcount
// instruction, where std::popcount is a call into the compiler's runtime; this is inline.
constexpr unsigned bit_count(std::uint64_t x) {
#if defined(__POPCNT__)
    return static_cast<unsigned>(std::popcount(x));
#else
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
#endif
}

constexpr unsigned popcount(const Bitboard& x) {
    unsigned n = 0;
    for (u128 limb : x.limbs)
        n += bit_count(static_cast<std::uint64_t>(limb)) +
             bit_count(static_cast<std::uint64_t>(limb >> 64));
    return n;
}

// The whole 512-bit value shifted towards higher bits; bits moved past 511 are lost.
constexpr Bitboard shift_left(const Bitboard& x, unsigned n) {
    Bitboard r;
    const unsigned limb_shift = n / LIMB_BITS, bit_shift = n % LIMB_BITS;
    // s counts limbs by significance: s = 0 is limb 3 (bits 0-127).
    for (unsigned s = limb_shift; s < NUM_LIMBS; ++s) {
        const unsigned from = s - limb_shift;
        u128 v = x.limbs[NUM_LIMBS - 1 - from] << bit_shift;
        if (bit_shift != 0 && from > 0) v |= x.limbs[NUM_LIMBS - from] >> (LIMB_BITS - bit_shift);
        r.limbs[NUM_LIMBS - 1 - s] = v;
    }
    return r;
}

// The whole 512-bit value shifted towards lower bits; bits moved below 0 are lost.
constexpr Bitboard shift_right(const Bitboard& x, unsigned n) {
    Bitboard r;
    const unsigned limb_shift = n / LIMB_BITS, bit_shift = n % LIMB_BITS;
    for (unsigned s = 0; s + limb_shift < NUM_LIMBS; ++s) {
        const unsigned from = s + limb_shift;
        u128 v = x.limbs[NUM_LIMBS - 1 - from] >> bit_shift;
        if (bit_shift != 0 && from + 1 < NUM_LIMBS)
            v |= x.limbs[NUM_LIMBS - 2 - from] << (LIMB_BITS - bit_shift);
        r.limbs[NUM_LIMBS - 1 - s] = v;
    }
    return r;
}

// shift_left and shift_right by a constant below 128, limb by limb: the neighbour shifts of the
// move rules, written out so that each is a few word instructions.
template <unsigned N>
    requires(N > 0 && N < LIMB_BITS)
constexpr Bitboard shift_left_by(const Bitboard& x) {
    const auto& l = x.limbs;
    return {{(l[0] << N) | (l[1] >> (LIMB_BITS - N)), (l[1] << N) | (l[2] >> (LIMB_BITS - N)),
             (l[2] << N) | (l[3] >> (LIMB_BITS - N)), l[3] << N}};
}

template <unsigned N>
    requires(N > 0 && N < LIMB_BITS)
constexpr Bitboard shift_right_by(const Bitboard& x) {
    const auto& l = x.limbs;
    return {{l[0] >> N, (l[1] >> N) | (l[0] << (LIMB_BITS - N)),
             (l[2] >> N) | (l[1] << (LIMB_BITS - N)), (l[3] >> N) | (l[2] << (LIMB_BITS - N))}};
}

// The 400 on-board bits; guard bits and bits 420-511 are clear.
inline constexpr Bitboard BOARD_MASK = [] {
    Bitboard x;
    for (unsigned row = 0; row < BOARD_ROWS; ++row)
        for (unsigned col = 0; col < BOARD_COLS; ++col) set_bit(x, bit_index(row, col));
    return x;
}();

// The cells sharing an edge with a set cell of x.
constexpr Bitboard edge_neighbours(const Bitboard& x) {
    return (shift_left_by<1>(x) | shift_right_by<1>(x) | shift_left_by<ROW_STRIDE>(x) |
            shift_right_by<ROW_STRIDE>(x)) &
           BOARD_MASK;
}

// The cells diagonally next to a set cell of x.
constexpr Bitboard diagonal_neighbours(const Bitboard& x) {
    return (shift_left_by<ROW_STRIDE - 1>(x) | shift_right_by<ROW_STRIDE - 1>(x) |
            shift_left_by<ROW_STRIDE + 1>(x) | shift_right_by<ROW_STRIDE + 1>(x)) &
           BOARD_MASK;
}

// A piece pattern (top-left cell at bit 0, row stride 21) moved so that its (0, 0) lies at
// (row, column).
constexpr Bitboard translate(u128 pattern, unsigned column, unsigned row) {
    if (row >= BOARD_ROWS || column >= BOARD_COLS) {
        throw InternalError("Invalid translation of (0,0) to (" + std::to_string(column) + "," +
                            std::to_string(row) + ")");
    }
    Bitboard x;
    x.limbs[NUM_LIMBS - 1] = pattern;
    return shift_left(x, bit_index(row, column));
}

// The 64-byte image: limbs 0, 1, 2, 3 in that order, each as 16 little-endian bytes.
constexpr std::array<std::uint8_t, BYTE_IMAGE_SIZE> byte_image(const Bitboard& x) {
    std::array<std::uint8_t, BYTE_IMAGE_SIZE> bytes{};
    for (unsigned limb = 0; limb < NUM_LIMBS; ++limb)
        for (unsigned i = 0; i < 16; ++i)
            bytes[16 * limb + i] = static_cast<std::uint8_t>(x.limbs[limb] >> (8 * i));
    return bytes;
}

// The Bitboard whose byte image starts at bytes (64 bytes are read).
constexpr Bitboard from_byte_image(const std::uint8_t* bytes) {
    Bitboard x;
    for (unsigned limb = 0; limb < NUM_LIMBS; ++limb)
        for (unsigned i = 0; i < 16; ++i)
            x.limbs[limb] |= static_cast<u128>(bytes[16 * limb + i]) << (8 * i);
    return x;
}

constexpr unsigned lowest_bit(u128 v) {
    const auto low = static_cast<std::uint64_t>(v);
    return low != 0 ? std::countr_zero(low)
                    : 64 + std::countr_zero(static_cast<std::uint64_t>(v >> 64));
}

// The set bits of a Bitboard in ascending order: limb 3 first, then limbs 2, 1, 0, each from
// its lowest bit. The corner buckets and the move search rely on this order.
class BitRange {
  public:
    class Iterator {
      public:
        constexpr Iterator(const Bitboard& x) : limbs_(x.limbs) { advance_limb(); }
        constexpr unsigned operator*() const {
            return LIMB_BITS * (NUM_LIMBS - 1 - limb_) + lowest_bit(current_);
        }
        constexpr Iterator& operator++() {
            current_ &= current_ - 1;
            advance_limb();
            return *this;
        }
        constexpr bool operator==(std::default_sentinel_t) const { return current_ == 0; }

      private:
        constexpr void advance_limb() {
            while (current_ == 0 && limb_ > 0) current_ = limbs_[--limb_];
        }
        std::array<u128, NUM_LIMBS> limbs_;
        unsigned limb_ = NUM_LIMBS;
        u128 current_ = 0;
    };

    constexpr explicit BitRange(const Bitboard& x) : x_(x) {}
    constexpr Iterator begin() const { return Iterator(x_); }
    constexpr std::default_sentinel_t end() const { return {}; }

  private:
    Bitboard x_;
};

constexpr BitRange iter_bits(const Bitboard& x) {
    return BitRange(x);
}

}  // namespace krodan
