#include "agents/seated_play.hpp"

#include <algorithm>

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
                    std::span<std::int32_t> out, std::span<const std::uint8_t> games) {
    if (out.size() != batch.size() || scratch.size() < batch.num_threads() ||
        (!games.empty() && games.size() != batch.size()))
        throw InternalError("seated actions: buffers of the wrong size");
    reserve_streams(seats, batch.size());
    batch.for_each_game([&](std::size_t i, unsigned thread) {
        const Game& game = batch.game(i);
        if (batch.finished(i)) {
            out[i] = -1;
            return;
        }
        if (!games.empty() && games[i] == 0) {
            out[i] = static_cast<std::int32_t>(HOLD);
            return;
        }
        const auto action = seats[game.current_agent % NUM_AGENTS]->act(game, i, scratch[thread]);
        if (!action) throw InternalError("the batch left a done mover");
        out[i] = static_cast<std::int32_t>(*action);
    });
}

bool play_games(std::span<const Seats> games, std::span<const std::uint64_t> streams,
                WorkerPool& pool, std::span<AgentScratch> scratch, std::span<Scores> out,
                std::span<std::int32_t> placements, const std::atomic<bool>* stop) {
    if (out.size() != games.size() || streams.size() != games.size() ||
        scratch.size() < pool.num_threads() ||
        (!placements.empty() && placements.size() != games.size() * MAX_PLACEMENTS))
        throw InternalError("play games: buffers of the wrong size");
    if (shared_stream(games, streams)) throw InternalError("play games: a stream in two games");
    for (std::size_t k = 0; k < games.size(); ++k) reserve_streams(games[k], streams[k] + 1);
    std::atomic<bool> abandoned{false};
    pool.run(games.size(), [&](std::size_t k, unsigned thread) {
        Game game = new_game();
        std::span<std::int32_t> record;
        if (!placements.empty()) {
            record = placements.subspan(k * MAX_PLACEMENTS, MAX_PLACEMENTS);
            std::fill(record.begin(), record.end(), -1);
        }
        std::size_t placed = 0;
        while (!is_over(game)) {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                abandoned.store(true, std::memory_order_relaxed);
                return;
            }
            Agent* agent = games[k][game.current_agent % NUM_AGENTS];
            const auto action = agent->act(game, streams[k], scratch[thread]);
            if (apply_action(game, action)) throw InternalError("an agent chose an illegal action");
            if (action && !record.empty()) {
                if (placed == MAX_PLACEMENTS) throw InternalError("more placements than pieces");
                record[placed++] = static_cast<std::int32_t>(*action);
            }
        }
        out[k] = compute_scores(game);
    });
    return !abandoned.load();
}

std::optional<std::pair<std::size_t, std::size_t>> shared_stream(
    std::span<const Seats> games, std::span<const std::uint64_t> streams) {
    struct Use {
        const Agent* agent;
        std::uint64_t stream;
        std::size_t game;
        auto operator<=>(const Use&) const = default;
    };
    std::vector<Use> uses;
    for (std::size_t k = 0; k < games.size(); ++k)
        for (const Agent* agent : games[k]) uses.push_back({agent, streams[k], k});
    std::sort(uses.begin(), uses.end());
    for (std::size_t u = 1; u < uses.size(); ++u)
        if (uses[u].agent == uses[u - 1].agent && uses[u].stream == uses[u - 1].stream &&
            uses[u].game != uses[u - 1].game)
            return std::pair{uses[u - 1].game, uses[u].game};
    return std::nullopt;
}

}  // namespace krodan
