#include "game/game.hpp"

namespace krodan {

Game new_game() {
    Game game;
    game.table = &action_table();
    return game;
}

unsigned ply(const Game& game) {
    unsigned total = 0;
    for (const AgentState& agent : game.agent_states) total += agent.placed;
    return total;
}

bool is_over(const Game& game) {
    for (const AgentState& agent : game.agent_states)
        if (!agent.done) return false;
    return true;
}

}  // namespace krodan
