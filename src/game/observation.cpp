#include "game/observation.hpp"

#include <bit>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "game/agent_masks.hpp"
#include "game/bitboard/neighbourhood.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/checks.hpp"
#include "game/move_search.hpp"

namespace krodan {
namespace {

// Two board rows at a time: the 40 cells of rows 2k and 2k + 1 as bits 0-39, guard bits left out.
// Boards hold on-board bits only, so no guard bit needs clearing beyond the one skipped.
class RowPairs {
  public:
    static constexpr unsigned COUNT = BOARD_ROWS / 2;
    static constexpr unsigned CELLS = 2 * BOARD_COLS;

    explicit RowPairs(const Bitboard& board) {
        for (unsigned w = 0; w < 2 * NUM_LIMBS; ++w)
            words_[w] =
                static_cast<std::uint64_t>(board.limbs[NUM_LIMBS - 1 - w / 2] >> (64 * (w % 2)));
    }

    std::uint64_t operator[](unsigned pair) const {
        const unsigned start = 2 * ROW_STRIDE * pair, shift = start % 64;
        const std::uint64_t low = words_[start / 64], high = words_[start / 64 + 1];
        const std::uint64_t bits = (low >> shift) | ((high << 1) << (63 - shift));
        constexpr std::uint64_t ROW = (std::uint64_t{1} << BOARD_COLS) - 1;
        return (bits & ROW) | ((bits >> ROW_STRIDE & ROW) << BOARD_COLS);
    }

  private:
    std::array<std::uint64_t, 2 * NUM_LIMBS> words_{};
};

#if defined(__AVX2__)
// 32 cells as 32 0/1 bytes: each byte picks the byte of its cell and tests the cell's bit.
inline void spread_32(std::uint32_t cells, std::uint8_t* out) {
    const __m256i select_byte = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                                 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i select_bit = _mm256_set1_epi64x(0x8040201008040201LL);
    const __m256i bytes =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(cells)), select_byte);
    const __m256i flags = _mm256_min_epu8(_mm256_and_si256(bytes, select_bit), _mm256_set1_epi8(1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), flags);
}

// The low eight bits as eight 0/1 bytes.
inline std::uint64_t spread_8(std::uint64_t cells) {
    return _pdep_u64(cells & 0xFF, 0x0101010101010101ULL);
}
#else
// BYTES_OF_BITS[b]: eight 0/1 bytes, byte i being bit i of b, as one little-endian word.
inline constexpr std::array<std::uint64_t, 256> BYTES_OF_BITS = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < 8; ++i)
            if (b >> i & 1) table[b] |= std::uint64_t{1} << (8 * i);
    return table;
}();

inline void spread_32(std::uint32_t cells, std::uint8_t* out) {
    for (unsigned k = 0; k < 4; ++k)
        std::memcpy(out + 8 * k, &BYTES_OF_BITS[cells >> (8 * k) & 0xFF], 8);
}

// The low eight bits as eight 0/1 bytes.
inline std::uint64_t spread_8(std::uint64_t cells) {
    return BYTES_OF_BITS[cells & 0xFF];
}
#endif

// The (agent, row, column) plane of the four boards, 40 bytes (two board rows) at a time.
void write_plane(const std::array<Bitboard, NUM_AGENTS>& boards,
                 std::span<std::uint8_t, PLANE_BYTES> plane) {
    static_assert(std::endian::native == std::endian::little);
    static_assert(RowPairs::CELLS == 32 + 8);
    std::uint8_t* out = plane.data();
    for (const Bitboard& board : boards) {
        const RowPairs pairs(board);
        for (unsigned pair = 0; pair < RowPairs::COUNT; ++pair, out += RowPairs::CELLS) {
            const std::uint64_t cells = pairs[pair];
            spread_32(static_cast<std::uint32_t>(cells), out);
            const std::uint64_t last = spread_8(cells >> 32);
            std::memcpy(out + 32, &last, sizeof last);
        }
    }
}

}  // namespace

ObservationSpans observation_spans(std::uint8_t* planes, std::uint8_t* pieces, std::uint8_t* done) {
    return {std::span<std::uint8_t, PLANE_BYTES>(planes, PLANE_BYTES),
            std::span<std::uint8_t, PLANE_BYTES>(planes + PLANE_BYTES, PLANE_BYTES),
            std::span<std::uint8_t, PLANE_BYTES>(planes + 2 * PLANE_BYTES, PLANE_BYTES),
            std::span<std::uint8_t, PIECES_BYTES>(pieces, PIECES_BYTES),
            std::span<std::uint8_t, DONE_BYTES>(done, DONE_BYTES)};
}

Observation build_observation(const Game& game, unsigned observer) {
    if (observer >= NUM_AGENTS) throw InternalError("observer index out of range");
    const auto& order = AGENT_ORDER[observer];
    Observation obs;
    Bitboard occupied;
    for (unsigned k = 0; k < NUM_AGENTS; ++k) {
        obs.cells[k] = rotate_ccw(game.agent_states[order[k]].cells, observer);
        occupied |= obs.cells[k];
    }
    for (unsigned k = 0; k < NUM_AGENTS; ++k) {
        // Relative agent k's start cell lies where agent k's does in the board frame.
        const AgentMasks masks = masks_for(obs.cells[k], occupied, START_CELLS[k]);
        obs.blocked[k] = masks.blocked;
        obs.corners[k] = masks.corners;
        obs.remaining[k] = game.agent_states[order[k]].remaining;
        obs.done[k] = game.agent_states[order[k]].done;
    }
    return obs;
}

void write_observation(const Observation& obs, const ObservationSpans& out) {
    write_plane(obs.cells, out.observation);
    write_plane(obs.corners, out.corners);
    write_plane(obs.blocked, out.blocked);
    static_assert(NUM_PIECES > 16 && NUM_PIECES <= 24);
    for (unsigned k = 0; k < NUM_AGENTS; ++k) {
        const std::uint64_t bytes[3] = {spread_8(obs.remaining[k]), spread_8(obs.remaining[k] >> 8),
                                        spread_8(obs.remaining[k] >> 16)};
        std::memcpy(out.pieces.data() + k * NUM_PIECES, bytes, NUM_PIECES);
    }
    for (unsigned k = 0; k < NUM_AGENTS; ++k) out.done[k] = obs.done[k];
}

ObservationBytes observation_bytes(const Game& game, unsigned observer) {
    const Observation obs = build_observation(game, observer);
    std::vector<PlacementId> ids;
    legal_placements(*game.table, obs.blocked[0], obs.corners[0], obs.remaining[0], ids);

    ObservationBytes bytes;
    bytes.observation.resize(PLANE_BYTES);
    bytes.corners.resize(PLANE_BYTES);
    bytes.blocked.resize(PLANE_BYTES);
    bytes.pieces.resize(PIECES_BYTES);
    bytes.done.resize(DONE_BYTES);
    write_observation(obs, {std::span<std::uint8_t, PLANE_BYTES>(bytes.observation),
                            std::span<std::uint8_t, PLANE_BYTES>(bytes.corners),
                            std::span<std::uint8_t, PLANE_BYTES>(bytes.blocked),
                            std::span<std::uint8_t, PIECES_BYTES>(bytes.pieces),
                            std::span<std::uint8_t, DONE_BYTES>(bytes.done)});
    bytes.action_mask = mask_from_ids(*game.table, ids);
    return bytes;
}

std::vector<std::uint8_t> mask_from_ids(const ActionTable& table,
                                        std::span<const PlacementId> ids) {
    std::vector<std::uint8_t> mask(table.action_placement.size());
    for (PlacementId id : ids) {
        if (id >= table.placements.size()) throw InternalError("placement id out of range");
        const std::uint64_t action = table.placements[id].action;
        if constexpr (INNER_CHECKS) {
            if (action >= mask.size()) throw InternalError("action out of range");
        }
        mask[action] = 1;
    }
    return mask;
}

}  // namespace krodan
