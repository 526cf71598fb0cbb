#pragma once
// The built-in agents' choices as plain functions of a game and a random stream, so that one
// policy serves a single game, every game of a batch (each with its own stream) and a search's
// rollouts alike. An action is an index in the mover's frame; nothing when the mover is done.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "game/game.hpp"
#include "game/legal_actions.hpp"
#include "random/generator.hpp"

namespace krodan {

// Memory a policy reuses between calls, one per thread.
struct PolicyScratch {
    LegalActionScratch legal;
    std::vector<std::int32_t> actions;
    std::vector<PlacementId> ids;
};

// The policies that play a tree search's leaves out.
enum class RolloutPolicy : std::uint8_t { random = 0, greedy = 1 };

inline constexpr std::array<std::string_view, 2> ROLLOUT_NAMES = {"random", "greedy"};

// The rollout policy of this exact name, or nothing.
std::optional<RolloutPolicy> rollout_named(std::string_view name);

// The mover, or nothing when it is done (or the game over).
std::optional<unsigned> mover_in_play(const Game& game);

// Uniform among the mover's legal actions (ascending, one draw of `rng`).
std::optional<std::uint32_t> random_action(const Game& game, Generator& rng,
                                           PolicyScratch& scratch);

// Uniform as well, drawn from the move search's own order: no sorting, so faster, but which
// action a draw gives depends on that order. For rollouts, whose actions nobody replays.
std::optional<std::uint32_t> playout_action(const Game& game, Generator& rng,
                                            PolicyScratch& scratch);

// One ply of lexicographic preferences: the largest piece; then the placement with the highest
// (corner cells the mover gains) − (corner cells it covers of the other agents still in play),
// corner cells being those an agent's next piece may attach to; then uniform among the ties
// (one draw of `rng` per tie met).
std::optional<std::uint32_t> greedy_action(const Game& game, Generator& rng,
                                           PolicyScratch& scratch);

// Plays `game` to its end, every choice made by `policy` (playout_action for random) with
// draws of `rng`, the passes between them too: a tree search's rollout.
void play_out(Game& game, RolloutPolicy policy, Generator& rng, PolicyScratch& scratch);

}  // namespace krodan
