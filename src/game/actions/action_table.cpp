#include "game/actions/action_table.hpp"

#include <limits>
#include <unordered_map>

#include "game/bitboard/rotation.hpp"
#include "game/pieces/orientation.hpp"

namespace krodan {
namespace {

struct BitboardHash {
    std::size_t operator()(const Bitboard& x) const noexcept {
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        for (u128 limb : x.limbs) {
            for (std::uint64_t word :
                 {static_cast<std::uint64_t>(limb), static_cast<std::uint64_t>(limb >> 64)}) {
                h ^= word + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
            }
        }
        return h;
    }
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
    std::unordered_map<Bitboard, PlacementId, BitboardHash> id_of_cells;
    id_of_cells.reserve(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i)
        id_of_cells[placements[i].cells] = static_cast<PlacementId>(i);
    std::vector<PlacementId> rot(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i) {
        const auto found = id_of_cells.find(permute(placements[i].cells, ROTATE_CW));
        if (found == id_of_cells.end()) throw InternalError("no entry found for key");
        rot[i] = found->second;
    }
    return rot;
}

struct NeighbourhoodHash {
    std::size_t operator()(const Neighbourhood& n) const noexcept {
        return std::hash<std::uint64_t>()(n.words[0] * 31 + n.words[1] * 7 + n.words[2]);
    }
};

// The corner buckets, each entry with the placement's cells seen from the bucket's cell.
void build_buckets(ActionTable& table) {
    struct Entry {
        PlacementId id;
        std::uint16_t shape;
        unsigned sides;  // the edge neighbours of the bucket's cell it covers
    };
    std::vector<std::vector<Entry>> buckets(NUM_BUCKETS);
    std::unordered_map<Neighbourhood, std::uint16_t, NeighbourhoodHash> shape_index;
    for (std::size_t i = 0; i < table.placements.size(); ++i) {
        const Placement& p = table.placements[i];
        const unsigned piece = piece_index_of_code(p.piece);
        const LinearBoard cells(p.cells);
        for (unsigned bit : iter_bits(p.cells)) {
            const std::size_t key = std::size_t{bit} * NUM_PIECES + piece;
            if (key >= NUM_BUCKETS) throw InternalError("corner bucket key out of range");
            const Neighbourhood seen = cells.around(bit);
            const auto [it, added] = shape_index.try_emplace(
                seen, static_cast<std::uint16_t>(table.relative_shapes.size()));
            if (added) table.relative_shapes.push_back(seen);
            buckets[key].push_back({static_cast<PlacementId>(i), it->second, sides_of(seen)});
        }
    }
    table.bucket_offsets.reserve(NUM_BUCKETS + 1);
    table.bucket_offsets.push_back(0);
    std::size_t total = 0;
    for (const auto& entries : buckets) table.bucket_offsets.push_back(total += entries.size());
    table.bucket_ids.reserve(total);
    table.bucket_shapes.reserve(total);
    table.bucket_search.resize(NUM_BUCKETS);
    for (std::size_t key = 0; key < NUM_BUCKETS; ++key) {
        if (buckets[key].size() > 64) throw InternalError("corner bucket beyond 64 entries");
        BucketSearch& search = table.bucket_search[key];
        search.begin = table.bucket_offsets[key];
        for (std::size_t i = 0; i < buckets[key].size(); ++i) {
            const Entry& e = buckets[key][i];
            table.bucket_ids.push_back(e.id);
            table.bucket_shapes.push_back(e.shape);
            search.entries |= std::uint64_t{1} << i;
            for (unsigned side = 0; side < 4; ++side)
                if (e.sides >> side & 1) search.sides[side] |= std::uint64_t{1} << i;
        }
    }
}

}  // namespace

ActionTable build_action_table() {
    ActionTable table;
    const std::vector<Orientation> orientations = build_orientations();
    table.placements = build_placements(orientations);

    table.action_placement.assign(orientations.size() * NUM_CELLS, std::nullopt);
    for (std::size_t i = 0; i < table.placements.size(); ++i) {
        const std::uint64_t action = table.placements[i].action;
        if (action >= table.action_placement.size()) throw InternalError("action out of range");
        table.action_placement[action] = i;
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
                        relative_shapes.capacity() * sizeof(Neighbourhood);
    for (const auto& ids : absolute_ids) bytes += ids.capacity() * sizeof(PlacementId);
    return sizeof(ActionTable) + bytes;
}

const ActionTable& action_table() {
    // A build that throws leaves the static uninitialised, so the next call builds again.
    static const ActionTable* const table = new ActionTable(build_action_table());
    return *table;
}

}  // namespace krodan
