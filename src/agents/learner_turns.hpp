#pragma once
// One learner seat per game against built-in opponents: the opponents' moves between two of the
// learner's turns, played for every game of a batch in one pass. Game i draws from stream i of
// each opponent, as seated_actions draws, so the games are those that asking for the
// opponents' actions one round at a time would give, whatever the number of threads.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "agents/agent.hpp"
#include "batch/game_batch.hpp"

namespace krodan {

// A learner's three opponents: opponent j sits j + 1 seats after the learner, in turn order.
// A null opponent is one the caller plays: play stops at its turn as at the learner's.
using Opponents = std::array<Agent*, NUM_AGENTS - 1>;

// The games' learners and their opponents, with what a pass over the batch may change.
struct LearnerTurns {
    Opponents opponents{};
    std::span<const std::uint8_t> learner_seats;  // one per game, 0-3
    std::span<AgentScratch> scratch;              // one per thread of the batch
};

// GameBatch::play_on with the opponents' moves: game i restarts (restart[i] != 0) or takes the
// learner's action actions[i], then its opponents play until the learner's turn (or a null
// opponent's) or its end. A game over is seen from its learner's seat. Returns the first
// illegal action, refused before any game moves.
std::optional<IllegalAction> play_to_learners(GameBatch& batch, const LearnerTurns& turns,
                                              std::span<const std::uint8_t> restart,
                                              std::span<const std::int64_t> actions,
                                              std::optional<std::uint64_t> seed);

}  // namespace krodan
