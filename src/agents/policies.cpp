#include "agents/policies.hpp"

#include <array>

#include "game/agent_masks.hpp"
#include "game/move_search.hpp"

namespace krodan {

std::optional<unsigned> mover_in_play(const Game& game) {
    const unsigned a = static_cast<unsigned>(game.current_agent);
    if (a >= NUM_AGENTS) throw InternalError("current agent out of range");
    if (game.agent_states[a].done) return std::nullopt;
    return a;
}

std::uint32_t action_in_frame(const ActionTable& table, unsigned a, PlacementId id) {
    const auto& to_agent = table.absolute_ids[(NUM_AGENTS - a) % NUM_AGENTS];
    if (id >= to_agent.size()) throw InternalError("placement id out of range");
    return table.placement_actions[to_agent[id]];
}

std::optional<std::uint32_t> random_action(const Game& game, Generator& rng,
                                           PolicyScratch& scratch) {
    const auto mover = mover_in_play(game);
    if (!mover) return std::nullopt;
    const AgentMasks masks = agent_masks(game, *mover);
    scratch.actions.clear();
    const std::size_t count = append_legal_actions(*game.table, masks.blocked, masks.corners,
                                                   game.agent_states[*mover].remaining,
                                                   scratch.legal, scratch.actions, *mover);
    if (count == 0) throw InternalError("a mover in play without a legal action");
    return static_cast<std::uint32_t>(scratch.actions[rng.below(count)]);
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

}  // namespace krodan
