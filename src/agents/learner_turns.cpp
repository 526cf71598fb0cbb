#include "agents/learner_turns.hpp"

#include "game/internal_error.hpp"

namespace krodan {

std::optional<IllegalAction> play_to_learners(GameBatch& batch, const LearnerTurns& turns,
                                              std::span<const std::uint8_t> restart,
                                              std::span<const std::int64_t> actions,
                                              std::optional<std::uint64_t> seed) {
    if (turns.learner_seats.size() != batch.size() || turns.scratch.size() < batch.num_threads())
        throw InternalError("learner turns: buffers of the wrong size");
    for (std::uint8_t seat : turns.learner_seats)
        if (seat >= NUM_AGENTS) throw InternalError("learner turns: a seat out of range");
    // Streams made before threads share the agents.
    for (Agent* opponent : turns.opponents)
        if (opponent != nullptr) opponent->reserve_streams(batch.size());
    const auto next = [&](const Game& game, std::size_t i,
                          unsigned thread) -> std::optional<std::uint32_t> {
        const unsigned mover = static_cast<unsigned>(game.current_agent) % NUM_AGENTS;
        const unsigned learner = turns.learner_seats[i];
        if (mover == learner) return std::nullopt;
        Agent* opponent = turns.opponents[(mover + NUM_AGENTS - learner - 1) % NUM_AGENTS];
        if (opponent == nullptr) return std::nullopt;
        const auto action = opponent->act(game, i, turns.scratch[thread]);
        if (!action) throw InternalError("the batch left a done mover");
        return action;
    };
    return batch.play_on(restart, actions, seed, next, turns.learner_seats);
}

}  // namespace krodan
