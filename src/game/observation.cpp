#include "game/observation.hpp"

#include <bit>
#include <cstring>

#include "game/agent_masks.hpp"
#include "game/bitboard/neighbourhood.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/checks.hpp"
#include "game/move_search.hpp"

namespace krodan {
namespace {

// BYTES_OF_BITS[b]: eight 0/1 bytes, byte i being bit i of b, as one little-endian word.
inline constexpr std::array<std::uint64_t, 256> BYTES_OF_BITS = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < 8; ++i)
            if (b >> i & 1) table[b] |= std::uint64_t{1} << (8 * i);
    return table;
}();

// The (agent, row, column) plane of the four boards: each board row's 20 bits become 20 bytes,
// eight at a time. Boards hold on-board bits only, so guard bits never reach a byte.
void write_plane(const std::array<Bitboard, NUM_AGENTS>& boards,
                 std::span<std::uint8_t, PLANE_BYTES> plane) {
    static_assert(std::endian::native == std::endian::little);
    std::uint8_t* out = plane.data();
    for (const Bitboard& board : boards) {
        const LinearBoard bits(board);
        for (unsigned row = 0; row < BOARD_ROWS; ++row, out += BOARD_COLS) {
            const std::uint32_t cells = bits.row(row);
            const std::uint64_t bytes[3] = {BYTES_OF_BITS[cells & 0xFF],
                                            BYTES_OF_BITS[(cells >> 8) & 0xFF],
                                            BYTES_OF_BITS[cells >> 16]};
            std::memcpy(out, bytes, BOARD_COLS);  // columns 16-19 are the low half of the third
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
    for (unsigned k = 0; k < NUM_AGENTS; ++k)
        for (unsigned j = 0; j < NUM_PIECES; ++j)
            out.pieces[k * NUM_PIECES + j] = obs.remaining[k] >> j & 1;
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
