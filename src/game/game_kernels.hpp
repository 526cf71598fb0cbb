#pragma once
// The single game's hot calls, built once per instruction set: callers that step or observe
// one game at a time (the game class of the binding) go through game_kernels().

#include <cstdint>
#include <optional>

#include "game/game.hpp"
#include "game/observation.hpp"
#include "game/refusal.hpp"

namespace krodan {

struct GameKernels {
    std::optional<Refusal> (*apply_action)(Game& game, std::optional<std::uint64_t> action);
    ObservationBytes (*observation_bytes)(const Game& game, unsigned observer);
};

extern "C" const GameKernels krodan_game_kernels_baseline;
extern "C" const GameKernels krodan_game_kernels_x86_64_v3;
extern "C" const GameKernels krodan_game_kernels_x86_64_v4;

// The table of the running instruction set.
const GameKernels& game_kernels();

}  // namespace krodan
