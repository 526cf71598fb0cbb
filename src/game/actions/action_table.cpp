#include "game/actions/action_table.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>

#include "game/bitboard/rotation.hpp"
#include "game/pieces/orientation.hpp"

namespace krodan {
namespace {

// An exact-match map from a placement's cells to its id: open addressing over the ids, the
// cells compared through the placement list, so that filling it allocates one array only.
class CellsToId {
  public:
    explicit CellsToId(const std::vector<Placement>& placements)
        : placements_(placements), slots_(capacity_for(placements.size()), EMPTY) {
        for (std::size_t id = 0; id < placements.size(); ++id)
            slots_[find(placements[id].cells)] = static_cast<PlacementId>(id);
    }

    // The id of the placement with these cells, if there is one.
    std::optional<PlacementId> lookup(const Bitboard& cells) const {
        const PlacementId id = slots_[find(cells)];
        return id == EMPTY ? std::nullopt : std::optional<PlacementId>(id);
    }

  private:
    static constexpr PlacementId EMPTY = 0xFFFF;

    static std::size_t capacity_for(std::size_t n) { return std::bit_ceil(2 * n + 1); }

    static std::uint64_t hash(const Bitboard& x) {
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        for (u128 limb : x.limbs) {
            h = (h ^ static_cast<std::uint64_t>(limb)) * 0xFF51AFD7ED558CCDull;
            h = (h ^ static_cast<std::uint64_t>(limb >> 64)) * 0xC4CEB9FE1A85EC53ull;
        }
        return h ^ (h >> 29);
    }

    // The slot holding these cells, or the empty slot where they would go.
    std::size_t find(const Bitboard& cells) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash(cells) & mask;; at = (at + 1) & mask)
            if (slots_[at] == EMPTY || placements_[slots_[at]].cells == cells) return at;
    }

    const std::vector<Placement>& placements_;
    std::vector<PlacementId> slots_;
};

std::vector<Placement> build_placements(const std::vector<Orientation>& orientations) {
    std::vector<Placement> placements;
    placements.reserve(NUM_PLACEMENTS);
    for (std::size_t o = 0; o < orientations.size(); ++o) {
        const u128 pattern = shape_bits(orientations[o]);
        for (unsigned r = 0; r <= orientations[o].max_row; ++r)
            for (unsigned c = 0; c <= orientations[o].max_col; ++c)
                placements.push_back({translate(pattern, c, r), o * NUM_CELLS + r * BOARD_COLS + c,
                                      orientations[o].piece});
    }
    return placements;
}

// rot[i]: the id of placement i turned one clockwise quarter turn.
std::vector<PlacementId> clockwise_ids(const std::vector<Placement>& placements) {
    const CellsToId id_of_cells(placements);
    std::vector<PlacementId> rot(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i) {
        const auto found = id_of_cells.lookup(permute(placements[i].cells, ROTATE_CW));
        if (!found) throw InternalError("no entry found for key");
        rot[i] = *found;
    }
    return rot;
}

// The corner buckets, in two passes (count, then fill) so that no bucket list is allocated. Each
// entry also gets its placement's cells seen from the bucket's cell: a pattern that depends only
// on the orientation and which of its cells that is, so the patterns are read off the first
// placement of each orientation (anchored at the top-left cell) and shared by the rest.
void build_buckets(ActionTable& table) {
    const std::size_t orientations = NUM_ACTIONS / NUM_CELLS;
    std::vector<std::size_t> first_shape(orientations, SIZE_MAX);
    std::vector<std::uint64_t> count(NUM_BUCKETS + 1, 0);
    for (const Placement& p : table.placements) {
        const unsigned piece = piece_index_of_code(p.piece);
        const std::size_t orientation = p.action / NUM_CELLS;
        if (orientation >= orientations) throw InternalError("orientation out of range");
        if (first_shape[orientation] == SIZE_MAX) {
            first_shape[orientation] = table.relative_shapes.size();
            const LinearBoard cells(p.cells);
            for (unsigned bit : iter_bits(p.cells))
                table.relative_shapes.push_back(cells.around(bit));
        }
        for (unsigned bit : iter_bits(p.cells)) {
            const std::size_t key = ActionTable::bucket_key(bit, piece);
            if (key >= NUM_BUCKETS) throw InternalError("corner bucket key out of range");
            ++count[key + 1];
        }
    }
    table.bucket_offsets.assign(NUM_BUCKETS + 1, 0);
    for (std::size_t key = 0; key < NUM_BUCKETS; ++key)
        table.bucket_offsets[key + 1] = table.bucket_offsets[key] + count[key + 1];
    const std::size_t total = table.bucket_offsets[NUM_BUCKETS];
    table.bucket_ids.resize(total);
    table.bucket_shapes.resize(total);
    table.bucket_search.assign(NUM_BUCKETS, BucketSearch{});
    for (std::size_t key = 0; key < NUM_BUCKETS; ++key) {
        if (table.bucket_offsets[key + 1] - table.bucket_offsets[key] > 64)
            throw InternalError("corner bucket beyond 64 entries");
        table.bucket_search[key].begin = table.bucket_offsets[key];
    }
    for (std::size_t id = 0; id < table.placements.size(); ++id) {
        const Placement& p = table.placements[id];
        const unsigned piece = piece_index_of_code(p.piece);
        std::size_t shape = first_shape[p.action / NUM_CELLS];
        for (unsigned bit : iter_bits(p.cells)) {
            BucketSearch& search = table.bucket_search[ActionTable::bucket_key(bit, piece)];
            const unsigned entry = static_cast<unsigned>(std::popcount(search.entries));
            const std::size_t at = search.begin + entry;
            table.bucket_ids[at] = static_cast<PlacementId>(id);
            table.bucket_shapes[at] = static_cast<std::uint16_t>(shape);
            search.entries |= std::uint64_t{1} << entry;
            const unsigned sides = sides_of(table.relative_shapes[shape++]);
            for (unsigned side = 0; side < 4; ++side)
                if (sides >> side & 1) search.sides[side] |= std::uint64_t{1} << entry;
        }
    }
    static_assert(NUM_PIECES <= ActionTable::CANDIDATE_ROW);
    table.candidate_counts.assign(BOARD_BITS * 16 * ActionTable::CANDIDATE_ROW, 0);
    for (unsigned bit = 0; bit < BOARD_BITS; ++bit)
        for (unsigned sides = 0; sides < 16; ++sides)
            for (unsigned piece = 0; piece < NUM_PIECES; ++piece)
                table.candidate_counts[(bit * 16 + sides) * ActionTable::CANDIDATE_ROW + piece] =
                    static_cast<std::uint8_t>(bit_count(side_filtered(
                        table.bucket_search[ActionTable::bucket_key(bit, piece)], sides)));
}

}  // namespace

ActionTable build_action_table() {
    ActionTable table;
    const std::vector<Orientation> orientations = build_orientations();
    table.placements = build_placements(orientations);

    table.action_placement.assign(orientations.size() * NUM_CELLS, std::nullopt);
    table.placement_actions.resize(table.placements.size());
    static_assert(NUM_ACTIONS <= std::numeric_limits<std::uint16_t>::max() + std::size_t{1});
    for (std::size_t i = 0; i < table.placements.size(); ++i) {
        const std::uint64_t action = table.placements[i].action;
        if (action >= table.action_placement.size()) throw InternalError("action out of range");
        table.action_placement[action] = i;
        table.placement_actions[i] = static_cast<std::uint16_t>(action);
    }

    if (table.placements.size() > std::numeric_limits<PlacementId>::max() + std::size_t{1})
        throw InternalError("more placements than 16-bit ids");
    std::vector<PlacementId> ids(table.placements.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<PlacementId>(i);

    const std::vector<PlacementId> rot = clockwise_ids(table.placements);
    table.absolute_ids[0] = std::move(ids);
    for (unsigned a = 1; a < NUM_AGENTS; ++a) {
        table.absolute_ids[a].resize(table.placements.size());
        for (std::size_t i = 0; i < table.placements.size(); ++i)
            table.absolute_ids[a][i] = rot[table.absolute_ids[a - 1][i]];
    }

    static_assert(NUM_PLACEMENTS < NO_PLACEMENT);
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const auto& to_agent = table.absolute_ids[(NUM_AGENTS - a) % NUM_AGENTS];
        table.frame_actions[a].resize(table.placements.size());
        for (std::size_t id = 0; id < table.placements.size(); ++id)
            table.frame_actions[a][id] = table.placement_actions[to_agent[id]];
        table.frame_placements[a].assign(table.action_placement.size(), NO_PLACEMENT);
        for (std::size_t action = 0; action < table.action_placement.size(); ++action)
            if (const auto id = table.action_placement[action])
                table.frame_placements[a][action] = table.absolute_ids[a][*id];
    }

    build_buckets(table);
    return table;
}

std::size_t ActionTable::memory_bytes() const {
    std::size_t bytes = placements.capacity() * sizeof(Placement) +
                        action_placement.capacity() * sizeof(action_placement[0]) +
                        bucket_ids.capacity() * sizeof(PlacementId) +
                        bucket_offsets.capacity() * sizeof(std::uint64_t) +
                        bucket_shapes.capacity() * sizeof(std::uint16_t) +
                        bucket_search.capacity() * sizeof(BucketSearch) +
                        candidate_counts.capacity() +
                        relative_shapes.capacity() * sizeof(Neighbourhood) +
                        placement_actions.capacity() * sizeof(std::uint16_t);
    for (const auto& ids : absolute_ids) bytes += ids.capacity() * sizeof(PlacementId);
    for (const auto& actions : frame_actions) bytes += actions.capacity() * sizeof(std::uint16_t);
    for (const auto& ids : frame_placements) bytes += ids.capacity() * sizeof(PlacementId);
    return sizeof(ActionTable) + bytes;
}

const ActionTable& action_table() {
    // A build that throws leaves the static uninitialised, so the next call builds again.
    static const ActionTable* const table = new ActionTable(build_action_table());
    return *table;
}

}  // namespace krodan
