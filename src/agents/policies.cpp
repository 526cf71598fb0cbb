#include "agents/policies.hpp"

#include <array>

#include "game/agent_masks.hpp"
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

std::optional<std::uint32_t> playout_action(const Game& game, Generator& rng,
                                            PolicyScratch& scratch) {
    const auto mover = mover_in_play(game);
    if (!mover) return std::nullopt;
    const AgentMasks masks = agent_masks(game, *mover);
    legal_placements(*game.table, masks.blocked, masks.corners, game.agent_states[*mover].remaining,
                     scratch.ids);
    if (scratch.ids.empty()) throw InternalError("a mover in play without a legal action");
    return action_in_frame(*game.table, *mover, scratch.ids[rng.below(scratch.ids.size())]);
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
