#include "game/move_search.hpp"

#include <array>
#include <bit>
#include <optional>

#include "game/bitboard/neighbourhood.hpp"

namespace krodan {
namespace {

// Visits the corner cells in ascending order and, for each, the buckets of the pieces still in
// hand: on_bucket(begin, end, around) gets the bucket's positions in `bucket_ids` and
// `bucket_shapes` and the blocked cells around the corner cell, and ends the search by returning
// true; on_corner() follows the last bucket of each corner cell. A finished corner cell joins
// the blocked set, so a placement covering several corner cells is found once and later buckets
// reject it at once.
template <class OnBucket, class OnCorner>
bool search_corner_buckets(const ActionTable& table, const Bitboard& blocked,
                           const Bitboard& corners, std::uint32_t remaining, OnBucket&& on_bucket,
                           OnCorner&& on_corner) {
    LinearBoard work(blocked);
    for (unsigned corner : iter_bits(corners)) {
        const Neighbourhood around = work.around(corner);
        for (std::uint32_t pieces = remaining; pieces != 0; pieces &= pieces - 1) {
            const auto [begin, end] = table.bucket_range(corner, std::countr_zero(pieces));
            if (on_bucket(begin, end, around)) return true;
        }
        on_corner();
        work.set_bit(corner);
    }
    return false;
}

// Writes every id of bucket entries [begin, end) whose placement misses the blocked cells
// `around` to `out`, without a branch per candidate; returns the end of what it wrote.
[[gnu::noinline]] PlacementId* keep_free_placements(const ActionTable& table, std::size_t begin,
                                                    std::size_t end, const Neighbourhood& around,
                                                    PlacementId* out) {
    const Neighbourhood* shapes = table.relative_shapes.data();
    const std::uint16_t* shape = table.bucket_shapes.data() + begin;
    const PlacementId* id = table.bucket_ids.data() + begin;
    const PlacementId* const stop = table.bucket_ids.data() + end;
    const std::uint64_t w0 = around.words[0], w1 = around.words[1], w2 = around.words[2];
    for (; id != stop; ++id, ++shape) {
        const Neighbourhood& cells = shapes[*shape];
        *out = *id;
        out += ((cells.words[0] & w0) | (cells.words[1] & w1) | (cells.words[2] & w2)) == 0;
    }
    return out;
}

// The first legal placement in search order, if any.
std::optional<PlacementId> find_legal_placement(const ActionTable& table, const AgentMasks& masks,
                                                std::uint32_t remaining) {
    const Neighbourhood* shapes = table.relative_shapes.data();
    const std::uint16_t* shape = table.bucket_shapes.data();
    std::optional<PlacementId> found;
    search_corner_buckets(
        table, masks.blocked, masks.corners, remaining,
        [&](std::size_t begin, std::size_t end, const Neighbourhood& around) {
            for (std::size_t k = begin; k < end; ++k) {
                if (!overlaps(shapes[shape[k]], around)) {
                    found = table.bucket_ids[k];
                    return true;
                }
            }
            return false;
        },
        [] {});
    return found;
}

bool is_legal(const ActionTable& table, const AgentMasks& masks, std::uint32_t remaining,
              PlacementId id) {
    if (id >= table.placements.size()) return false;
    const Placement& p = table.placements[id];
    return (remaining >> piece_index_of_code(p.piece) & 1) != 0 &&
           !intersects(p.cells, masks.blocked) && intersects(p.cells, masks.corners);
}

// Keeps agent a's witness if it is still legal under its masks, else searches for a new one or
// marks a done.
void refresh_agent(Game& game, unsigned a, const AgentMasks& masks) {
    AgentState& agent = game.agent_states[a];
    if (is_legal(*game.table, masks, agent.remaining, agent.witness)) return;
    const auto found = find_legal_placement(*game.table, masks, agent.remaining);
    agent.witness = found.value_or(NO_WITNESS);
    agent.done = !found;
}

}  // namespace

bool has_legal_placement(const ActionTable& table, const AgentMasks& masks,
                         std::uint32_t remaining) {
    return find_legal_placement(table, masks, remaining).has_value();
}

void refresh_done(Game& game) {
    for (unsigned a = 0; a < NUM_AGENTS; ++a)
        if (!game.agent_states[a].done) refresh_agent(game, a, agent_masks(game, a));
}

void refresh_done_after_placement(Game& game, unsigned mover, const Bitboard& placed,
                                  const AgentMasks& mover_masks) {
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const AgentState& agent = game.agent_states[a];
        if (agent.done) continue;
        if (a == mover) {
            refresh_agent(game, a, mover_masks);
        } else if (agent.witness >= game.table->placements.size() ||
                   intersects(game.table->placements[agent.witness].cells, placed)) {
            refresh_agent(game, a, agent_masks(game, a));
        }
    }
}

void legal_placements(const ActionTable& table, const Bitboard& blocked, const Bitboard& corners,
                      std::uint32_t remaining, std::vector<PlacementId>& out) {
    out.clear();
    // About one candidate in ten passes, so they are kept without a branch in a buffer for one
    // corner cell. It has at most 414 candidates: every orientation of every piece, anchored at
    // each of its cells.
    std::array<PlacementId, 512> found;
    PlacementId* end = found.data();
    search_corner_buckets(
        table, blocked, corners, remaining,
        [&](std::size_t begin, std::size_t stop, const Neighbourhood& around) {
            if (end + (stop - begin) > found.data() + found.size())
                throw InternalError("too many candidates for one corner cell");
            end = keep_free_placements(table, begin, stop, around, end);
            return false;
        },
        [&] {
            out.insert(out.end(), found.data(), end);
            end = found.data();
        });
}

}  // namespace krodan
