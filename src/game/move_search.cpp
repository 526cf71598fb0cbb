#include "game/move_search.hpp"

#include <bit>

#include "game/bitboard/board_window.hpp"

namespace krodan {
namespace {

// Visits the corner cells in ascending order and, for each, the buckets of the pieces still in
// hand; calls on_legal(id) for every candidate that covers no blocked cell, and stops when it
// returns true. A finished corner cell joins the blocked set, so a placement covering several
// corner cells is found once and later buckets reject it at once.
template <class OnLegal>
bool search_corner_buckets(const ActionTable& table, const Bitboard& blocked,
                           const Bitboard& corners, std::uint32_t remaining, OnLegal&& on_legal) {
    LinearBoard work(blocked);
    for (unsigned corner : iter_bits(corners)) {
        for (std::uint32_t pieces = remaining; pieces != 0; pieces &= pieces - 1) {
            for (PlacementId id : table.bucket(corner, std::countr_zero(pieces))) {
                if (!work.overlaps(table.windows[id]) && on_legal(id)) return true;
            }
        }
        work.set_bit(corner);
    }
    return false;
}

}  // namespace

bool has_legal_placement(const ActionTable& table, const AgentMasks& masks,
                         std::uint32_t remaining) {
    return search_corner_buckets(table, masks.blocked, masks.corners, remaining,
                                 [](PlacementId) { return true; });
}

void refresh_done(Game& game) {
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        AgentState& agent = game.agent_states[a];
        if (agent.done) continue;
        agent.done = !has_legal_placement(*game.table, agent_masks(game, a), agent.remaining);
    }
}

void legal_placements(const ActionTable& table, const Bitboard& blocked, const Bitboard& corners,
                      std::uint32_t remaining, std::vector<PlacementId>& out) {
    out.clear();
    search_corner_buckets(table, blocked, corners, remaining, [&out](PlacementId id) {
        out.push_back(id);
        return false;
    });
}

}  // namespace krodan
