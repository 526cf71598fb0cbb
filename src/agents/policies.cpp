#include "agents/policies.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "game/agent_masks.hpp"
#include "game/bitboard/neighbourhood.hpp"
#include "game/move_search.hpp"
#include "game/passes.hpp"

namespace krodan {

std::optional<RolloutPolicy> rollout_named(std::string_view name) {
    for (std::size_t i = 0; i < ROLLOUT_NAMES.size(); ++i)
        if (ROLLOUT_NAMES[i] == name) return static_cast<RolloutPolicy>(i);
    return std::nullopt;
}

std::optional<unsigned> mover_in_play(const Game& game) {
    const unsigned a = static_cast<unsigned>(game.current_agent);
    if (a >= NUM_AGENTS) throw InternalError("current agent out of range");
    if (game.agent_states[a].done) return std::nullopt;
    return a;
}

std::optional<std::uint32_t> random_action(const Game& game, Generator& rng,
                                           PolicyScratch& scratch) {
    if (!mover_in_play(game)) return std::nullopt;
    mover_legal_actions(game, scratch.legal, scratch.actions);
    if (scratch.actions.empty()) throw InternalError("a mover in play without a legal action");
    return static_cast<std::uint32_t>(scratch.actions[rng.below(scratch.actions.size())]);
}

namespace {

// Sum of the eight byte lanes of a word, each at most 64.
constexpr unsigned lane_sum(std::uint64_t x) {
    x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL);
    return static_cast<unsigned>((x * 0x0001000100010001ULL) >> 48);
}

// A row of candidate counts (one byte a piece) and the byte lanes of the pieces in hand.
using CountRow = std::array<std::uint64_t, ActionTable::CANDIDATE_ROW / 8>;

CountRow lanes_in_hand(std::uint32_t remaining) {
    CountRow lanes{};
    for (std::uint32_t pieces = remaining; pieces != 0; pieces &= pieces - 1) {
        const unsigned p = static_cast<unsigned>(std::countr_zero(pieces));
        lanes[p / 8] |= std::uint64_t{0xFF} << (8 * (p % 8));
    }
    return lanes;
}

const std::uint8_t* count_row(const ActionTable& table, unsigned corner, unsigned sides) {
    return table.candidate_counts.data() + (corner * 16 + sides) * ActionTable::CANDIDATE_ROW;
}

// A corner cell of the mover, the blocked edge neighbours around it, and the candidates up to
// and including it.
struct CornerCandidates {
    std::uint16_t corner;
    std::uint8_t sides;
    std::uint32_t end;
};

// Draws a legal placement of the mover uniformly without listing them: the candidates are the
// corner buckets' entries of the pieces in hand that cover no blocked edge neighbour of their
// corner cell, counted from the table. A legal placement is a candidate once for each corner cell
// it covers, so a uniform candidate that is legal is kept with chance 1/k, k its corner cells.
// Gives up after `tries` misses.
std::optional<PlacementId> draw_placement(const ActionTable& table, const AgentMasks& masks,
                                          std::uint32_t remaining, Generator& rng, int tries) {
    const LinearBoard work(masks.blocked);
    const CountRow lanes = lanes_in_hand(remaining);
    std::array<CornerCandidates, BOARD_BITS> corners;
    std::size_t num_corners = 0;
    std::uint32_t total = 0;
    for (unsigned corner : iter_bits(masks.corners)) {
        if (corner >= BOARD_BITS) throw InternalError("corner cell beyond the board");
        const unsigned sides = sides_of(work.around(corner));
        CountRow counts;
        std::memcpy(counts.data(), count_row(table, corner, sides), sizeof counts);
        unsigned found = 0;
        for (std::size_t w = 0; w < counts.size(); ++w) found += lane_sum(counts[w] & lanes[w]);
        if (found == 0) continue;
        total += found;
        corners[num_corners++] = {static_cast<std::uint16_t>(corner),
                                  static_cast<std::uint8_t>(sides), total};
    }
    for (int miss = 0; miss < tries && total != 0; ++miss) {
        const auto u = static_cast<std::uint32_t>(rng.below(total));
        const CornerCandidates& at = *std::upper_bound(
            corners.begin(), corners.begin() + num_corners, u,
            [](std::uint32_t value, const CornerCandidates& c) { return value < c.end; });
        std::uint32_t rank = u - (&at == corners.data() ? 0 : (&at - 1)->end);
        const std::uint8_t* counts = count_row(table, at.corner, at.sides);
        unsigned piece = 0;
        for (std::uint32_t pieces = remaining;; pieces &= pieces - 1) {
            if (pieces == 0) throw InternalError("a candidate beyond its corner cell's count");
            piece = static_cast<unsigned>(std::countr_zero(pieces));
            if (rank < counts[piece]) break;
            rank -= counts[piece];
        }
        const BucketSearch& bucket = table.bucket_search[ActionTable::bucket_key(at.corner, piece)];
        std::uint64_t bits = side_filtered(bucket, at.sides);
        for (; rank != 0; --rank) bits &= bits - 1;
        const std::size_t entry = bucket.begin + static_cast<unsigned>(std::countr_zero(bits));
        if (overlaps(table.relative_shapes[table.bucket_shapes[entry]], work.around(at.corner)))
            continue;
        const PlacementId id = table.bucket_ids[entry];
        const unsigned k = popcount(table.placements[id].cells & masks.corners);
        if (k > 1 && rng.below(k) != 0) continue;
        return id;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> playout_action(const Game& game, Generator& rng,
                                            PolicyScratch& scratch) {
    const auto mover = mover_in_play(game);
    if (!mover) return std::nullopt;
    const ActionTable& table = *game.table;
    const AgentMasks masks = agent_masks(game, *mover);
    const std::uint32_t remaining = game.agent_states[*mover].remaining;
    // Late in a game few candidates are legal; after this many misses the list is cheaper.
    constexpr int TRIES = 48;
    if (const auto id = draw_placement(table, masks, remaining, rng, TRIES))
        return action_in_frame(table, *mover, *id);
    legal_placements(table, masks.blocked, masks.corners, remaining, scratch.ids);
    if (scratch.ids.empty()) throw InternalError("a mover in play without a legal action");
    return action_in_frame(table, *mover, scratch.ids[rng.below(scratch.ids.size())]);
}

std::optional<std::uint32_t> greedy_action(const Game& game, Generator& rng,
                                           PolicyScratch& scratch) {
    const auto mover = mover_in_play(game);
    if (!mover) return std::nullopt;
    const ActionTable& table = *game.table;
    std::array<AgentMasks, NUM_AGENTS> masks;
    for (unsigned a = 0; a < NUM_AGENTS; ++a) masks[a] = agent_masks(game, a);
    // The corner cells of the other agents still in play, which a piece covering them takes.
    std::array<Bitboard, NUM_AGENTS - 1> others;
    unsigned num_others = 0;
    for (unsigned a = 0; a < NUM_AGENTS; ++a)
        if (a != *mover && !game.agent_states[a].done) others[num_others++] = masks[a].corners;
    const int corners_before = static_cast<int>(popcount(masks[*mover].corners));

    legal_placements(table, masks[*mover].blocked, masks[*mover].corners,
                     game.agent_states[*mover].remaining, scratch.ids);
    if (scratch.ids.empty()) throw InternalError("a mover in play without a legal action");
    PlacementId best = 0;
    unsigned best_size = 0;
    int best_value = 0;
    std::uint64_t ties = 0;
    for (PlacementId id : scratch.ids) {
        const Placement& p = table.placements[id];
        const unsigned size = p.piece % 6;
        if (size < best_size) continue;
        const int gained =
            static_cast<int>(popcount(masks_after_placement(masks[*mover], p.cells).corners)) -
            corners_before;
        int taken = 0;
        for (unsigned k = 0; k < num_others; ++k)
            taken += static_cast<int>(popcount(others[k] & p.cells));
        const int value = gained - taken;
        if (size > best_size || value > best_value) {
            best = id;
            best_size = size;
            best_value = value;
            ties = 1;
        } else if (value == best_value && rng.below(++ties) == 0) {
            best = id;  // each of the ties met so far is kept with equal chance
        }
    }
    return action_in_frame(table, *mover, best);
}

void play_out(Game& game, RolloutPolicy policy, Generator& rng, PolicyScratch& scratch) {
    while (!is_over(game)) {
        const auto action = policy == RolloutPolicy::greedy ? greedy_action(game, rng, scratch)
                                                            : playout_action(game, rng, scratch);
        if (!action) throw InternalError("a rollout met a done mover");
        play_choice(game, *action);
    }
}

}  // namespace krodan
