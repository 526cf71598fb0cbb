// Engine speed over positions of seeded random games: ns per call of the per-step operations,
// the ActionTable build, and whole random games per second.
//
//   engine_bench                 the table of timings
//   engine_bench --only OP N     builds the corpus and runs OP over it N times, for callgrind
//                                (benchmarks/callgrind.sh subtracts a run with N = 0)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "game/observation.hpp"
#include "play.hpp"

namespace {

using namespace krodan;
using Clock = std::chrono::steady_clock;

struct Position {
    Game game;
    std::uint64_t played;  // the action that was played from here
    unsigned agent;
};

// Positions where the agent to move places a piece, from seeded random games.
std::vector<Position> corpus(unsigned games) {
    std::vector<Position> positions;
    for (unsigned seed = 1; seed <= games; ++seed) {
        const auto line = testing::random_game(seed);
        for (std::size_t i = 0; i + 1 < line.size(); ++i) {
            const Game& g = line[i];
            const unsigned a = static_cast<unsigned>(g.current_agent);
            if (g.agent_states[a].done) continue;
            for (std::uint64_t action : testing::legal_actions(g, a)) {
                Game trial = g;
                if (!apply_action(trial, action) && trial == line[i + 1]) {
                    positions.push_back({g, action, a});
                    break;
                }
            }
        }
    }
    return positions;
}

const char* phase_of(const Game& g) {
    const unsigned p = ply(g);
    return p < 16 ? "opening" : p < 56 ? "middle" : "end";
}

volatile std::uint64_t sink;

struct Op {
    const char* name;
    std::function<void(const Position&, std::vector<PlacementId>&)> run;
};

const std::vector<Op>& ops() {
    static const std::vector<Op> all = {
        {"copy of the game",
         [](const Position& p, std::vector<PlacementId>&) {
             Game g = p.game;
             sink = sink + g.current_agent;
         }},
        {"apply_action (with the copy)",
         [](const Position& p, std::vector<PlacementId>&) {
             Game g = p.game;
             sink = sink + apply_action(g, p.played).has_value();
         }},
        {"apply_action refused (with the copy)",
         [](const Position& p, std::vector<PlacementId>&) {
             Game g = p.game;
             sink = sink + apply_action(g, 419).has_value();
         }},
        {"agent_masks",
         [](const Position& p, std::vector<PlacementId>&) {
             sink = sink + agent_masks(p.game, p.agent).corners.limbs[3];
         }},
        {"has_legal_placement",
         [](const Position& p, std::vector<PlacementId>&) {
             const AgentMasks m = agent_masks(p.game, p.agent);
             sink = sink +
                    has_legal_placement(*p.game.table, m, p.game.agent_states[p.agent].remaining);
         }},
        {"refresh_done (with the copy)",
         [](const Position& p, std::vector<PlacementId>&) {
             Game g = p.game;
             refresh_done(g);
             sink = sink + g.agent_states[3].done;
         }},
        {"observation_bytes",
         [](const Position& p, std::vector<PlacementId>&) {
             sink = sink + observation_bytes(p.game, p.agent).action_mask.size();
         }},
        {"legal_placements",
         [](const Position& p, std::vector<PlacementId>& ids) {
             const AgentMasks m = agent_masks(p.game, p.agent);
             legal_placements(*p.game.table, m.blocked, m.corners,
                              p.game.agent_states[p.agent].remaining, ids);
             sink = sink + ids.size();
         }},
    };
    return all;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void time_ops(const std::vector<Position>& positions) {
    const char* phases[] = {"opening", "middle", "end", "all"};
    std::printf("%-40s %10s %10s %10s %10s\n", "ns per call", phases[0], phases[1], phases[2],
                phases[3]);
    std::vector<PlacementId> ids;
    ids.reserve(4096);
    for (const Op& op : ops()) {
        std::printf("%-40s", op.name);
        for (const char* phase : phases) {
            std::vector<const Position*> chosen;
            for (const Position& p : positions)
                if (!std::strcmp(phase, "all") || !std::strcmp(phase, phase_of(p.game)))
                    chosen.push_back(&p);
            double best = 1e30;
            for (int trial = 0; trial < 5; ++trial) {
                const auto start = Clock::now();
                const int reps = 20;
                for (int r = 0; r < reps; ++r)
                    for (const Position* p : chosen) op.run(*p, ids);
                best = std::min(best, seconds_since(start) * 1e9 / (reps * chosen.size()));
            }
            std::printf(" %10.1f", best);
        }
        std::printf("\n");
    }
}

// One turn of a random agent that draws uniformly among the mover's legal placements, found
// in the board frame and handed to apply_action in the mover's frame.
void random_turn(Game& g, std::mt19937_64& rng, std::vector<PlacementId>& ids) {
    const unsigned a = static_cast<unsigned>(g.current_agent);
    std::optional<std::uint64_t> action;
    if (!g.agent_states[a].done) {
        const AgentMasks m = agent_masks(g, a);
        legal_placements(*g.table, m.blocked, m.corners, g.agent_states[a].remaining, ids);
        const PlacementId board_id = ids[rng() % ids.size()];
        const PlacementId own_id = g.table->absolute_ids[(NUM_AGENTS - a) % NUM_AGENTS][board_id];
        action = g.table->placements[own_id].action;
    }
    if (apply_action(g, action)) std::abort();
}

void time_games() {
    const int games = 1000;
    unsigned turns = 0;
    std::vector<PlacementId> ids;
    ids.reserve(4096);
    const auto start = Clock::now();
    for (int seed = 0; seed < games; ++seed) {
        std::mt19937_64 rng(seed + 1000);
        Game g = new_game();
        while (!is_over(g)) {
            random_turn(g, rng, ids);
            ++turns;
        }
    }
    const double s = seconds_since(start);
    std::printf("whole random games (uniform over legal_placements): %.0f games/s, %.0f turns/s\n",
                games / s, turns / s);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && !std::strcmp(argv[1], "--only")) {
        const auto positions = corpus(20);
        std::vector<PlacementId> ids;
        ids.reserve(4096);
        const int reps = std::atoi(argv[3]);
        for (const Op& op : ops()) {
            if (op.name != std::string(argv[2])) continue;
            for (int r = 0; r < reps; ++r)
                for (const Position& p : positions) op.run(p, ids);
            std::printf("%zu calls\n", reps * positions.size());
        }
        return 0;
    }

    auto start = Clock::now();
    const ActionTable& table = action_table();
    const double first = seconds_since(start);
    start = Clock::now();
    const ActionTable rebuilt = build_action_table();
    std::printf("ActionTable: first build %.2f ms, second build %.2f ms, %zu bytes (%.2f MiB)\n",
                first * 1e3, seconds_since(start) * 1e3, table.memory_bytes(),
                table.memory_bytes() / 1048576.0);
    std::printf("sizeof(Game) = %zu bytes\n\n", sizeof(Game));

    const auto positions = corpus(20);
    std::printf("corpus: %zu positions from 20 seeded random games\n", positions.size());
    time_ops(positions);
    std::printf("\n");
    time_games();
    return rebuilt.placements.size() == table.placements.size() ? 0 : 1;
}
