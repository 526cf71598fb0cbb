#include "game/passes.hpp"

#include "game/apply_action.hpp"
#include "game/internal_error.hpp"

namespace krodan {

void skip_passes(Game& game) {
    while (!is_over(game) && game.agent_states[game.current_agent].done)
        if (apply_action(game, std::nullopt)) throw InternalError("a pass was refused");
}

void play_choice(Game& game, std::uint32_t action) {
    if (apply_action(game, action)) throw InternalError("an illegal action was chosen");
    skip_passes(game);
}

}  // namespace krodan
