#pragma once
// Helpers shared by the rule tests: an agent's legal actions in its own frame, and seeded
// random play.

#include <random>
#include <vector>

#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/bitboard/rotation.hpp"
#include "game/move_search.hpp"

namespace krodan::testing {

// The action indices, in agent a's frame, of every legal placement of agent a.
inline std::vector<std::uint64_t> legal_actions(const Game& game, unsigned a) {
    const AgentMasks m = agent_masks(game, a);
    std::vector<PlacementId> ids;
    legal_placements(*game.table, rotate_ccw(m.blocked, a), rotate_ccw(m.corners, a),
                     game.agent_states[a].remaining, ids);
    std::vector<std::uint64_t> actions;
    for (PlacementId id : ids) actions.push_back(game.table->placements[id].action);
    return actions;
}

// Plays one turn with a uniformly drawn legal action (a pass for a done agent).
inline void play_random_turn(Game& game, std::mt19937_64& rng) {
    const unsigned a = static_cast<unsigned>(game.current_agent);
    std::optional<std::uint64_t> action;
    if (!game.agent_states[a].done) {
        const auto actions = legal_actions(game, a);
        action = actions.at(std::uniform_int_distribution<std::size_t>(0, actions.size() - 1)(rng));
    }
    if (apply_action(game, action)) throw std::logic_error("a legal action was refused");
}

// The positions of one seeded random game, from the new game to the end.
inline std::vector<Game> random_game(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Game> positions{new_game()};
    while (!is_over(positions.back())) {
        Game next = positions.back();
        play_random_turn(next, rng);
        positions.push_back(next);
    }
    return positions;
}

}  // namespace krodan::testing
