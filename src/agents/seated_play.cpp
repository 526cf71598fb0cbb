#include "agents/seated_play.hpp"

#include "game/apply_action.hpp"

namespace krodan {
namespace {

// Gives every seated agent streams up to `count`, before threads share them.
void reserve_streams(const Seats& seats, std::size_t count) {
    for (Agent* agent : seats) {
        if (agent == nullptr) throw InternalError("an empty seat");
        agent->reserve_streams(count);
    }
}

}  // namespace

void seated_actions(const GameBatch& batch, const Seats& seats, std::span<AgentScratch> scratch,
                    std::span<std::int32_t> out) {
    if (out.size() != batch.size() || scratch.size() < batch.num_threads())
        throw InternalError("seated actions: buffers of the wrong size");
    reserve_streams(seats, batch.size());
    batch.for_each_game([&](std::size_t i, unsigned thread) {
        const Game& game = batch.game(i);
        if (batch.finished(i)) {
            out[i] = -1;
            return;
        }
        const auto action =
            seats[game.current_agent % NUM_AGENTS]->act(game, i, scratch[thread]);
        if (!action) throw InternalError("the batch left a done mover");
        out[i] = static_cast<std::int32_t>(*action);
    });
}

void play_games(std::span<const Seats> games, std::uint64_t first, WorkerPool& pool,
                std::span<AgentScratch> scratch, std::span<Scores> out) {
    if (out.size() != games.size() || scratch.size() < pool.num_threads())
        throw InternalError("play games: buffers of the wrong size");
    for (const Seats& seats : games) reserve_streams(seats, first + games.size());
    pool.run(games.size(), [&](std::size_t k, unsigned thread) {
        Game game = new_game();
        while (!is_over(game)) {
            Agent* agent = games[k][game.current_agent % NUM_AGENTS];
            const auto action = agent->act(game, first + k, scratch[thread]);
            if (apply_action(game, action)) throw InternalError("an agent chose an illegal action");
        }
        out[k] = compute_scores(game);
    });
}

}  // namespace krodan
