#pragma once
// The passes of done movers, played where nobody chooses them: a done agent's turn is always a
// pass, so searches and rollouts play them on the way and stop only at a choice.

#include <cstdint>

#include "game/game.hpp"

namespace krodan {

// Plays the passes of done movers until the mover can place a piece or the game is over.
void skip_passes(Game& game);

// Plays a choice (an action of the mover's frame, legal), then the passes after it.
void play_choice(Game& game, std::uint32_t action);

}  // namespace krodan
