#pragma once
// Invariants of play checked by the fuzz targets; a violation aborts, which the fuzzer reports.

#include <cstdint>
#include <cstdlib>
#include <optional>

#include "game/apply_action.hpp"
#include "game/move_search.hpp"
#include "game/observation.hpp"

namespace krodan::fuzz {

inline void require(bool condition) {
    if (!condition) std::abort();
}

// The lowest action set in the action mask of the agent to move, if any.
inline std::optional<std::uint64_t> first_legal_action(const Game& game) {
    const auto mask =
        observation_bytes(game, static_cast<unsigned>(game.current_agent)).action_mask;
    for (std::uint64_t action = 0; action < mask.size(); ++action)
        if (mask[action]) return action;
    return std::nullopt;
}

// Steps `action` and checks that the engine accepted exactly what the mask allows, changed
// nothing on a refusal, kept done flags set (and equal to a fresh search's), and left the cells
// and counts consistent. Cells of
// different agents stay disjoint only if they were (a decoded state may overlap).
inline void check_step(Game& game, std::optional<std::uint64_t> action) {
    const Game before = game;
    const unsigned mover = static_cast<unsigned>(game.current_agent);
    const auto mask = observation_bytes(game, mover).action_mask;
    const bool done = game.agent_states[mover].done;
    bool disjoint = true;
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned b = a + 1; b < 4; ++b)
            disjoint &= !intersects(game.agent_states[a].cells, game.agent_states[b].cells);

    const auto refusal = apply_action(game, action);
    const bool in_mask = action && *action < mask.size() && mask[*action] == 1;
    require(done ? !refusal : refusal.has_value() != in_mask);
    if (refusal) {
        require(game == before);
        return;
    }
    require(game.current_agent == (mover + 1) % 4);
    for (unsigned a = 0; a < 4; ++a) {
        const AgentState& agent = game.agent_states[a];
        require(!before.agent_states[a].done || agent.done);
        require((agent.cells & BOARD_MASK) == agent.cells);
        require(agent.placed == before.agent_states[a].placed + (a == mover && !done));
    }
    // The step refreshes done flags through cached witnesses; a search from scratch agrees.
    Game fresh = game;
    for (AgentState& agent : fresh.agent_states) {
        agent.done = false;
        agent.witness = NO_WITNESS;
    }
    refresh_done(fresh);
    require(fresh == game);
    if (disjoint) {
        for (unsigned a = 0; a < 4; ++a)
            for (unsigned b = a + 1; b < 4; ++b)
                require(!intersects(game.agent_states[a].cells, game.agent_states[b].cells));
    }
}

}  // namespace krodan::fuzz
