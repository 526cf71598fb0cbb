#pragma once
// The ActionTable: every way a piece can lie on the board, the map from the 36400 action
// indices to them, the maps between agent frames and the corner buckets of the move search.
// Built once per process on first use, immutable and shared by every game, never freed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "game/bitboard/bitboard.hpp"
#include "game/bitboard/neighbourhood.hpp"
#include "game/pieces/piece.hpp"

namespace krodan {

inline constexpr unsigned NUM_AGENTS = 4;
// Action index = orientation * 400 + row * 20 + column of the bounding box's top-left cell.
inline constexpr std::size_t NUM_ACTIONS = 91 * NUM_CELLS;
inline constexpr std::size_t NUM_PLACEMENTS = 30433;
// One corner bucket per (bit, piece index): key = bit * 21 + piece index.
inline constexpr std::size_t NUM_BUCKETS = BOARD_BITS * NUM_PIECES;

struct Placement {
    Bitboard cells;
    std::uint64_t action = 0;
    std::uint8_t piece = 0;  // piece code
};

using PlacementId = std::uint16_t;
// No placement: an action index that does not fit on the board.
inline constexpr PlacementId NO_PLACEMENT = 0xFFFF;

// One corner bucket as the move search reads it: where its entries start in `bucket_ids` and
// `bucket_shapes`, a mask with one bit per entry, and for each edge neighbour of the bucket's
// cell (above, below, left, right) the entries that cover it. Most candidates cover a blocked
// neighbour of their corner cell; these masks drop them before the neighbourhood test.
struct BucketSearch {
    std::uint64_t begin = 0;
    std::uint64_t entries = 0;  // bit i: entry begin + i
    std::array<std::uint64_t, 4> sides{};
};

// The entries of `bucket` that cover none of its cell's edge neighbours in `blocked_sides`
// (bit s for side s, in the order of `sides`).
constexpr std::uint64_t side_filtered(const BucketSearch& bucket, unsigned blocked_sides) {
    std::uint64_t kept = bucket.entries;
    for (unsigned side = 0; side < 4; ++side)
        kept &= ~(bucket.sides[side] & -std::uint64_t{blocked_sides >> side & 1});
    return kept;
}

struct ActionTable {
    std::vector<Placement> placements;                           // by placement id
    std::vector<std::optional<std::uint64_t>> action_placement;  // by action index
    // absolute_ids[a][id]: placement id turned a clockwise quarter turns, from agent a's frame
    // to the board frame.
    std::array<std::vector<PlacementId>, NUM_AGENTS> absolute_ids;
    std::vector<PlacementId> bucket_ids;
    std::vector<std::uint64_t> bucket_offsets;  // NUM_BUCKETS + 1 entries
    // For the overlap test of the move search, beside each entry of `bucket_ids`: the index in
    // `relative_shapes` of that placement's cells seen from the bucket's cell.
    std::vector<std::uint16_t> bucket_shapes;
    // The distinct cell patterns of a placement around one of its cells, one per orientation and
    // covered cell (414).
    std::vector<Neighbourhood> relative_shapes;
    // What the move search reads of each bucket, in one record (NUM_BUCKETS of them).
    std::vector<BucketSearch> bucket_search;
    // How many entries of each bucket survive its side masks, for every set of blocked edge
    // neighbours: candidate_counts[(bit * 16 + sides) * CANDIDATE_ROW + piece]. Rollouts draw a
    // candidate by these counts without filtering every bucket of every corner cell.
    static constexpr std::size_t CANDIDATE_ROW = 24;  // NUM_PIECES, padded to whole words
    std::vector<std::uint8_t> candidate_counts;
    // placements[id].action by placement id, packed: listing legal actions reads these at
    // random, and 60 KB stay in cache where the 80-byte records do not.
    std::vector<std::uint16_t> placement_actions;
    // frame_actions[a][id]: the action, in agent a's frame, of board-frame placement id; and
    // frame_placements[a][action]: the board-frame placement that agent a's action denotes, or
    // NO_PLACEMENT. One small read each where the turn from a frame would read two tables.
    std::array<std::vector<std::uint16_t>, NUM_AGENTS> frame_actions;
    std::array<std::vector<PlacementId>, NUM_AGENTS> frame_placements;

    // The placement ids of piece index `piece` whose cells contain `bit`, ascending.
    std::span<const PlacementId> bucket(unsigned bit, unsigned piece) const {
        const auto [begin, end] = bucket_range(bit, piece);
        return {bucket_ids.data() + begin, bucket_ids.data() + end};
    }

    // The positions in `bucket_ids` (and `bucket_shapes`) of bucket (bit, piece).
    std::pair<std::size_t, std::size_t> bucket_range(unsigned bit, unsigned piece) const {
        return bucket_range(bucket_key(bit, piece));
    }

    static std::size_t bucket_key(unsigned bit, unsigned piece) {
        return std::size_t{bit} * NUM_PIECES + piece;
    }

    std::pair<std::size_t, std::size_t> bucket_range(std::size_t key) const {
        if (key >= NUM_BUCKETS) throw InternalError("corner bucket key out of range");
        const std::uint64_t begin = bucket_offsets[key], end = bucket_offsets[key + 1];
        if (begin > end || end > bucket_ids.size())
            throw InternalError("corner bucket offsets out of order");
        return {begin, end};
    }

    // The placement, in the board frame, that `action` denotes in agent `agent`'s frame, or
    // nullptr where it denotes none.
    const Placement* lookup(unsigned agent, std::uint64_t action) const {
        if (agent >= NUM_AGENTS) throw InternalError("agent index out of range");
        if (action >= frame_placements[agent].size()) return nullptr;
        const PlacementId board_id = frame_placements[agent][action];
        if (board_id == NO_PLACEMENT) return nullptr;
        if (board_id >= placements.size()) throw InternalError("placement id out of range");
        return &placements[board_id];
    }

    // The heap bytes the table holds.
    std::size_t memory_bytes() const;
};

ActionTable build_action_table();

// The process-wide table; the first call builds it while concurrent callers wait.
const ActionTable& action_table();

}  // namespace krodan
