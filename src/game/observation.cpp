#include "game/observation.hpp"

#include "game/agent_masks.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/move_search.hpp"

namespace krodan {
namespace {

// A zeroed (agent, row, column) plane with a 1 at every cell of the four boards.
std::vector<std::uint8_t> plane_of(const std::array<Bitboard, NUM_AGENTS>& boards) {
    std::vector<std::uint8_t> plane(PLANE_BYTES);
    for (unsigned k = 0; k < NUM_AGENTS; ++k) {
        for (unsigned bit : iter_bits(boards[k])) {
            const std::size_t index = std::size_t{k} * NUM_CELLS + cell_index(bit);
            if (index >= plane.size()) throw InternalError("board bit beyond the plane");
            plane[index] = 1;
        }
    }
    return plane;
}

}  // namespace

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

ObservationBytes observation_bytes(const Game& game, unsigned observer) {
    const Observation obs = build_observation(game, observer);
    std::vector<PlacementId> ids;
    legal_placements(*game.table, obs.blocked[0], obs.corners[0], obs.remaining[0], ids);

    ObservationBytes bytes;
    bytes.observation = plane_of(obs.cells);
    bytes.corners = plane_of(obs.corners);
    bytes.blocked = plane_of(obs.blocked);
    bytes.pieces.resize(PIECES_BYTES);
    for (unsigned k = 0; k < NUM_AGENTS; ++k)
        for (unsigned j = 0; j < NUM_PIECES; ++j)
            bytes.pieces[k * NUM_PIECES + j] = obs.remaining[k] >> j & 1;
    bytes.done.assign(obs.done.begin(), obs.done.end());
    bytes.action_mask = mask_from_ids(*game.table, ids);
    return bytes;
}

std::vector<std::uint8_t> mask_from_ids(const ActionTable& table,
                                        std::span<const PlacementId> ids) {
    std::vector<std::uint8_t> mask(table.action_placement.size());
    for (PlacementId id : ids) {
        if (id >= table.placements.size()) throw InternalError("placement id out of range");
        const std::uint64_t action = table.placements[id].action;
        if (action >= mask.size()) throw InternalError("action out of range");
        mask[action] = 1;
    }
    return mask;
}

}  // namespace krodan
