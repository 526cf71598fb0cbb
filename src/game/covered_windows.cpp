#include "game/covered_windows.hpp"

#include <bit>

#include "game/actions/action_table.hpp"
#include "game/pieces/orientation_shapes.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace krodan {
namespace {

constexpr unsigned REACH = CoveredWindows::REACH;
constexpr unsigned PIECE_SHIFT = CoveredWindows::WINDOW_BITS;
constexpr std::uint32_t WINDOW_MASK = (1u << CoveredWindows::WINDOW_BITS) - 1;

// Per orientation: its cells as a window (bit 5 * column + row of its box), and its piece index
// from bit 25 on.
constexpr std::array<std::uint32_t, NUM_ORIENTATIONS> PATTERNS = [] {
    std::array<std::uint32_t, NUM_ORIENTATIONS> patterns{};
    for (unsigned o = 0; o < NUM_ORIENTATIONS; ++o) {
        const OrientationShape& shape = ORIENTATION_SHAPES[o];
        unsigned r = 0, c = 0;
        for (char ch : shape.rows) {
            if (ch == '/') {
                ++r;
                c = 0;
                continue;
            }
            if (ch == 'X') patterns[o] |= 1u << (REACH * c + r);
            ++c;
        }
        patterns[o] |= std::uint32_t{PIECE_INDEX_BY_CODE[code(shape.piece)]} << PIECE_SHIFT;
    }
    return patterns;
}();

// action = orientation * 400 + anchor and anchor = row * 20 + column, divided by multiplying:
// exact over every action (checked below), and the same in the scalar and vector passes.
constexpr unsigned ORIENTATION_MULTIPLIER = 5243, ORIENTATION_SHIFT = 21;
constexpr unsigned ROW_MULTIPLIER = 205, ROW_SHIFT = 12;
static_assert([] {
    for (unsigned a = 0; a < NUM_ACTIONS; ++a)
        if ((a * ORIENTATION_MULTIPLIER) >> ORIENTATION_SHIFT != a / NUM_CELLS) return false;
    for (unsigned a = 0; a < NUM_CELLS; ++a)
        if ((a * ROW_MULTIPLIER) >> ROW_SHIFT != a / BOARD_COLS) return false;
    return true;
}());

// Whether one action's placement misses the marked cells and its piece is in hand.
inline bool is_uncovered(unsigned action, const CoveredWindows& windows,
                         std::uint32_t gone_pieces) {
    const unsigned o = (action * ORIENTATION_MULTIPLIER) >> ORIENTATION_SHIFT;
    const unsigned anchor = action - o * NUM_CELLS;
    const unsigned row = (anchor * ROW_MULTIPLIER) >> ROW_SHIFT;
    const unsigned col = anchor - row * BOARD_COLS;
    const std::uint32_t pattern = PATTERNS[o];
    const std::uint32_t hit = (windows.window(row, col) & pattern & WINDOW_MASK) |
                              (gone_pieces >> (pattern >> PIECE_SHIFT) & 1);
    return hit == 0;
}

#if defined(__AVX2__)
// KEEP_SHUFFLES[m]: the byte shuffle that moves the 16-bit lanes set in m to the front.
constexpr std::array<std::array<std::uint8_t, 16>, 256> KEEP_SHUFFLES = [] {
    std::array<std::array<std::uint8_t, 16>, 256> shuffles{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned out = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((m >> lane & 1) == 0) continue;
            shuffles[m][2 * out] = static_cast<std::uint8_t>(2 * lane);
            shuffles[m][2 * out + 1] = static_cast<std::uint8_t>(2 * lane + 1);
            ++out;
        }
        for (unsigned b = 2 * out; b < 16; ++b) shuffles[m][b] = 0x80;
    }
    return shuffles;
}();

// Eight actions at a time: the windows and patterns gathered, the kept lanes moved to the front
// by one byte shuffle and stored over what was read. Returns the number of actions examined.
std::size_t keep_uncovered_by_eight(std::uint16_t* actions, std::size_t count,
                                    const CoveredWindows& windows, std::uint32_t gone_pieces,
                                    std::size_t& kept) {
    const __m256i orientation_multiplier = _mm256_set1_epi32(ORIENTATION_MULTIPLIER);
    const __m256i row_multiplier = _mm256_set1_epi32(ROW_MULTIPLIER);
    const __m256i cells = _mm256_set1_epi32(NUM_CELLS);
    const __m256i cols = _mm256_set1_epi32(BOARD_COLS);
    const __m256i window_mask = _mm256_set1_epi32(WINDOW_MASK);
    const __m256i gone = _mm256_set1_epi32(static_cast<int>(gone_pieces));
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i seven = _mm256_set1_epi32(7);
    const auto* window_bytes = reinterpret_cast<const int*>(windows.bytes());
    const auto* patterns = reinterpret_cast<const int*>(PATTERNS.data());
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actions + i));
        const __m256i action = _mm256_cvtepu16_epi32(packed);
        const __m256i o = _mm256_srli_epi32(_mm256_mullo_epi32(action, orientation_multiplier),
                                            ORIENTATION_SHIFT);
        const __m256i anchor = _mm256_sub_epi32(action, _mm256_mullo_epi32(o, cells));
        const __m256i row =
            _mm256_srli_epi32(_mm256_mullo_epi32(anchor, row_multiplier), ROW_SHIFT);
        const __m256i col = _mm256_sub_epi32(anchor, _mm256_mullo_epi32(row, cols));
        const __m256i bit = _mm256_add_epi32(_mm256_slli_epi32(col, 2), col);  // 5 * column
        const __m256i offset =
            _mm256_add_epi32(_mm256_slli_epi32(row, 4), _mm256_srli_epi32(bit, 3));
        const __m256i window = _mm256_srlv_epi32(_mm256_i32gather_epi32(window_bytes, offset, 1),
                                                 _mm256_and_si256(bit, seven));
        const __m256i pattern = _mm256_i32gather_epi32(patterns, o, 4);
        const __m256i piece_gone =
            _mm256_and_si256(_mm256_srlv_epi32(gone, _mm256_srli_epi32(pattern, PIECE_SHIFT)), one);
        const __m256i hit = _mm256_or_si256(
            _mm256_and_si256(_mm256_and_si256(window, pattern), window_mask), piece_gone);
        const auto keep = static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_castsi256_ps(_mm256_cmpeq_epi32(hit, _mm256_setzero_si256()))));
        const __m128i shuffle =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(KEEP_SHUFFLES[keep].data()));
        // kept <= i: the store covers only lanes already read.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(actions + kept),
                         _mm_shuffle_epi8(packed, shuffle));
        kept += static_cast<unsigned>(std::popcount(keep));
    }
    return i;
}
#endif

}  // namespace

std::size_t keep_uncovered(std::uint16_t* actions, std::size_t count, const CoveredWindows& windows,
                           std::uint32_t gone_pieces) {
    std::size_t kept = 0, i = 0;
#if defined(__AVX2__)
    i = keep_uncovered_by_eight(actions, count, windows, gone_pieces, kept);
#endif
    for (; i < count; ++i) {
        const std::uint16_t action = actions[i];
        actions[kept] = action;
        kept += is_uncovered(action, windows, gone_pieces);
    }
    return kept;
}

}  // namespace krodan
