// The batch in C++, without the host: turns per second of GameBatch stepping random actions,
// by game count, threads and outputs, beside whole random games played one at a time.
//
//   batch_bench                       the table
//   batch_bench N THREADS OBS DENSE   one configuration for a profiler: OBS and DENSE are 0/1
//   batch_bench --single SECONDS      placements per second of whole random games played one
//                                     at a time on one core (the floor the batch is held to)
//   batch_bench --memory              the bytes a game's kept legal lists hold, over the turns
//                                     of seeded random games

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "batch/game_batch.hpp"
#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/legal_sets.hpp"
#include "game/move_search.hpp"

namespace {

using namespace krodan;
using Clock = std::chrono::steady_clock;

// Turns (placements) per second over `seconds` of stepping.
double turns_per_second(const BatchOptions& options, double seconds) {
    GameBatch batch(options);
    std::vector<std::int32_t> actions(options.num_games);
    std::vector<std::int64_t> wide(options.num_games);
    const auto start = Clock::now();
    std::size_t turns = 0;
    double elapsed = 0;
    while (elapsed < seconds) {
        batch.random_actions(actions);
        wide.assign(actions.begin(), actions.end());
        if (batch.step(wide)) std::abort();
        turns += options.num_games;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return turns / elapsed;
}

// Whole random games, one at a time, as engine_bench plays them: the mover's legal placements
// in the board frame, a uniform draw, the action in the mover's frame. Placements per second.
double single_game_placements_per_second(double seconds) {
    std::vector<PlacementId> ids;
    ids.reserve(4096);
    Generator rng(1);
    std::size_t placements = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        Game game = new_game();
        while (!is_over(game)) {
            const unsigned a = static_cast<unsigned>(game.current_agent);
            std::optional<std::uint64_t> action;
            if (!game.agent_states[a].done) {
                const AgentMasks m = agent_masks(game, a);
                legal_placements(*game.table, m.blocked, m.corners, game.agent_states[a].remaining,
                                 ids);
                const PlacementId board_id = ids[rng.below(ids.size())];
                action =
                    game.table
                        ->placements[game.table
                                         ->absolute_ids[(NUM_AGENTS - a) % NUM_AGENTS][board_id]]
                        .action;
                ++placements;
            }
            if (apply_action(game, action)) std::abort();
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return placements / elapsed;
}

// The kept lists of 200 seeded random games, each agent's settled at its turn: their bytes,
// averaged over the turns and at most.
void legal_sets_memory() {
    std::vector<PlacementId> ids;
    std::size_t turns = 0, total = 0, most = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Generator rng(seed);
        Game game = new_game();
        LegalSets sets;
        sets.rebuild(game);
        while (!is_over(game)) {
            const unsigned a = static_cast<unsigned>(game.current_agent);
            std::optional<std::uint64_t> action;
            if (!game.agent_states[a].done) {
                sets.settle(a, game);
                const AgentMasks m = agent_masks(game, a);
                legal_placements(*game.table, m.blocked, m.corners, game.agent_states[a].remaining,
                                 ids);
                const PlacementId id = ids[rng.below(ids.size())];
                action = game.table->frame_actions[a][id];
                sets.placed(*game.table, id);
            }
            if (apply_action(game, action)) std::abort();
            ++turns;
            total += sets.memory_bytes();
            most = std::max(most, sets.memory_bytes());
        }
    }
    std::printf("kept legal lists per game: %.0f bytes on average over %zu turns, at most %zu\n",
                static_cast<double>(total) / turns, turns, most);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--memory") == 0) {
        legal_sets_memory();
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--single") == 0) {
        std::printf("%.0f placements/s\n", single_game_placements_per_second(std::atof(argv[2])));
        return 0;
    }
    if (argc == 5) {
        BatchOptions options{.num_games = std::strtoull(argv[1], nullptr, 10),
                             .num_threads = static_cast<unsigned>(std::atoi(argv[2])),
                             .dense_mask = std::atoi(argv[4]) != 0,
                             .observations = std::atoi(argv[3]) != 0};
        std::printf("%.0f turns/s\n", turns_per_second(options, 5.0));
        return 0;
    }
    std::printf("%6s %7s %12s %12s %12s\n", "games", "threads", "no obs", "obs + lists",
                "obs + mask");
    for (std::size_t n : {1, 64, 1024}) {
        for (unsigned threads : {1u, 2u}) {
            BatchOptions options{.num_games = n, .num_threads = threads};
            options.observations = false;
            options.dense_mask = false;
            const double bare = turns_per_second(options, 1.0);
            options.observations = true;
            const double lists = turns_per_second(options, 1.0);
            options.dense_mask = true;
            const double dense = turns_per_second(options, 1.0);
            std::printf("%6zu %7u %12.0f %12.0f %12.0f\n", n, threads, bare, lists, dense);
        }
    }
    return 0;
}
