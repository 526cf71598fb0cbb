#include "game/move_search.hpp"

#include <array>
#include <bit>
#include <optional>

#include "game/bitboard/neighbourhood.hpp"

namespace krodan {
namespace {

// Visits the corner cells in ascending order and, for each, the buckets of the pieces still in
// hand: on_bucket(begin, candidates, around) gets the bucket's first position in `bucket_ids`
// (and `bucket_shapes`), the mask of its entries that cover no blocked edge neighbour of the
// corner cell (bit i: entry begin + i), and the blocked cells around the corner cell; it ends the
// search by returning true. on_corner() follows the last bucket of each corner cell. A finished
// corner cell joins the blocked set, so a placement covering several corner cells is found once
// and later buckets reject it at once.
template <class OnBucket, class OnCorner>
bool search_corner_buckets(const ActionTable& table, const Bitboard& blocked,
                           const Bitboard& corners, std::uint32_t remaining, OnBucket&& on_bucket,
                           OnCorner&& on_corner) {
    LinearBoard work(blocked);
    for (unsigned corner : iter_bits(corners)) {
        if (corner >= BOARD_BITS) throw InternalError("corner cell beyond the board");
        const Neighbourhood around = work.around(corner);
        const unsigned sides = sides_of(around);
        const BucketSearch* buckets =
            table.bucket_search.data() + ActionTable::bucket_key(corner, 0);
        for (std::uint32_t pieces = remaining; pieces != 0; pieces &= pieces - 1) {
            const BucketSearch& bucket = buckets[std::countr_zero(pieces)];
            const std::uint64_t candidates = side_filtered(bucket, sides);
            if (candidates != 0 && on_bucket(bucket.begin, candidates, around)) return true;
        }
        on_corner();
        work.set_bit(corner);
    }
    return false;
}

// Writes the id of every candidate whose placement misses the blocked cells `around` to `out`,
// without a branch per candidate; returns the end of what it wrote.
PlacementId* keep_free_placements(const ActionTable& table, std::size_t begin,
                                  std::uint64_t candidates, const Neighbourhood& around,
                                  PlacementId* out) {
    const Neighbourhood* shapes = table.relative_shapes.data();
    const std::uint16_t* shape = table.bucket_shapes.data() + begin;
    const PlacementId* id = table.bucket_ids.data() + begin;
    for (; candidates != 0; candidates &= candidates - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(candidates));
        *out = id[i];
        out += !overlaps(shapes[shape[i]], around);
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
        [&](std::size_t begin, std::uint64_t candidates, const Neighbourhood& around) {
            for (; candidates != 0; candidates &= candidates - 1) {
                const std::size_t k = begin + static_cast<unsigned>(std::countr_zero(candidates));
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
        [&](std::size_t begin, std::uint64_t candidates, const Neighbourhood& around) {
            // Never more than 414 for one corner cell; a table that breaks this is corrupt.
            if (end + 64 > found.data() + found.size())
                throw InternalError("too many candidates for one corner cell");
            end = keep_free_placements(table, begin, candidates, around, end);
            return false;
        },
        [&] {
            out.insert(out.end(), found.data(), end);
            end = found.data();
        });
}

}  // namespace krodan
