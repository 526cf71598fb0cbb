#include "game/move_search.hpp"

#include <array>
#include <bit>

#include "game/bitboard/neighbourhood.hpp"

namespace krodan {
namespace {

// Visits the corner cells in ascending order and, for each, the buckets of the pieces still in
// hand, and calls visit(ids, shapes, around) with each bucket's placement ids, their cells seen
// from the corner cell and the blocked cells around it. Stops when visit returns true. A
// finished corner cell joins the blocked set, so a placement covering several corner cells is
// found once and later buckets reject it at once.
template <class Visit>
bool search_corner_buckets(const ActionTable& table, const Bitboard& blocked,
                           const Bitboard& corners, std::uint32_t remaining, Visit&& visit) {
    LinearBoard work(blocked);
    for (unsigned corner : iter_bits(corners)) {
        const Neighbourhood around = work.around(corner);
        for (std::uint32_t pieces = remaining; pieces != 0; pieces &= pieces - 1) {
            const auto [begin, end] = table.bucket_range(corner, std::countr_zero(pieces));
            if (visit(std::span(table.bucket_ids.data() + begin, end - begin),
                      table.bucket_shapes.data() + begin, around))
                return true;
        }
        work.set_bit(corner);
    }
    return false;
}

}  // namespace

bool has_legal_placement(const ActionTable& table, const AgentMasks& masks,
                         std::uint32_t remaining) {
    const Neighbourhood* shapes = table.relative_shapes.data();
    return search_corner_buckets(
        table, masks.blocked, masks.corners, remaining,
        [shapes](std::span<const PlacementId> ids, const std::uint16_t* shape, const Neighbourhood& around) {
            for (std::size_t k = 0; k < ids.size(); ++k)
                if (!overlaps(shapes[shape[k]], around)) return true;
            return false;
        });
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
    // About one candidate in ten passes, so each is written without a branch, then kept by
    // advancing the end. A bucket holds at most 40 ids.
    const Neighbourhood* shapes = table.relative_shapes.data();
    std::array<PlacementId, 64> found;
    search_corner_buckets(
        table, blocked, corners, remaining,
        [&](std::span<const PlacementId> ids, const std::uint16_t* shape, const Neighbourhood& around) {
            if (ids.size() > found.size()) throw InternalError("corner bucket too large");
            std::size_t n = 0;
            for (std::size_t k = 0; k < ids.size(); ++k) {
                found[n] = ids[k];
                n += !overlaps(shapes[shape[k]], around);
            }
            out.insert(out.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n));
            return false;
        });
}

}  // namespace krodan
