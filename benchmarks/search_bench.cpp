// The tree searches on fixed work, for callgrind: UCT searches of an mcts agent (random and
// greedy rollouts, one tree and two) and rounds of the guided search with an evaluator written
// here (pending/expand, select, advance with tree reuse), from positions of seeded random games.
// Every run prints a digest of the visits and actions it saw, so that two builds can be shown
// to do the same work.
//
//   search_bench                the time of each part and the digest
//   search_bench --only PART    runs one part (uct-random, uct-greedy, guided, or none for the
//                               set-up alone) and prints its digest; benchmarks/search_callgrind.sh
//                               counts its instructions

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agents/agent.hpp"
#include "play.hpp"
#include "search/batched_search.hpp"

namespace {

using namespace krodan;
using Clock = std::chrono::steady_clock;

// FNV-1a over the numbers a part saw.
struct Digest {
    std::uint64_t value = 0xcbf29ce484222325ULL;
    void add(std::int64_t x) {
        for (int b = 0; b < 8; ++b) {
            value ^= static_cast<std::uint64_t>(x >> (8 * b)) & 0xff;
            value *= 0x100000001b3ULL;
        }
    }
};

// Positions whose mover can place a piece, early, middle and late, from seeded random games.
std::vector<Game> positions() {
    std::vector<Game> found;
    const unsigned plies[] = {6, 22, 38, 54};
    for (unsigned k = 0; k < 4; ++k) {
        const auto line = testing::random_game(20 + k);
        for (std::size_t at = plies[k]; at < line.size(); ++at) {
            const Game& g = line[at];
            if (!is_over(g) && !g.agent_states[g.current_agent].done) {
                found.push_back(g);
                break;
            }
        }
    }
    return found;
}

AgentConfig mcts(std::uint64_t seed, std::uint32_t simulations, unsigned trees, bool greedy) {
    AgentConfig config;
    config.kind = AgentKind::mcts;
    config.seed = seed;
    config.search.simulations = simulations;
    config.search.trees = trees;
    config.rollout = greedy ? RolloutPolicy::greedy : RolloutPolicy::random;
    return config;
}

// One-tree and two-tree searches from every position; the trees grow one after the other.
void uct_part(const std::vector<Game>& games, bool greedy, Digest& digest) {
    const std::uint32_t simulations = greedy ? 120 : 400;
    AgentScratch scratch;
    for (std::size_t k = 0; k < games.size(); ++k) {
        for (unsigned trees : {1u, 2u}) {
            Agent agent(mcts(k, simulations, trees, greedy));
            agent.reserve_streams(1);
            const auto found = agent.search(games[k], 0, scratch, false);
            for (std::size_t i = 0; i < found->actions.size(); ++i) {
                digest.add(found->actions[i]);
                digest.add(found->visits[i]);
            }
            digest.add(most_visited(*found));
        }
    }
}

// Uneven priors and values from the leaf's arrays: no network, the same numbers every run.
void evaluate(const LeafArrays& leaves, std::size_t count, std::vector<float>& priors,
              std::vector<float>& values) {
    const auto listed = static_cast<std::size_t>(leaves.legal_offsets[count]);
    priors.resize(listed);
    values.resize(count * NUM_AGENTS);
    for (std::size_t b = 0; b < count; ++b) {
        unsigned in_hand[NUM_AGENTS] = {};
        for (unsigned a = 0; a < NUM_AGENTS; ++a)
            for (unsigned p = 0; p < NUM_PIECES; ++p)
                in_hand[a] += leaves.pieces[(b * NUM_AGENTS + a) * NUM_PIECES + p];
        for (auto k = leaves.legal_offsets[b]; k < leaves.legal_offsets[b + 1]; ++k) {
            const std::uint64_t action = static_cast<std::uint64_t>(leaves.legal_actions[k]);
            priors[static_cast<std::size_t>(k)] =
                static_cast<float>((action * 2654435761u + in_hand[0] * 97) % 1009 + 1);
        }
        for (unsigned a = 0; a < NUM_AGENTS; ++a)
            values[b * NUM_AGENTS + a] = static_cast<float>((in_hand[a] * 7 + b) % 17) / 16;
    }
}

// Eight games searched together, six moves each: rounds to completion, the counts, a draw at
// temperature 1, and the move played with the chosen subtree kept.
void guided_part(const std::vector<Game>& games, Digest& digest) {
    const std::size_t n = 8;
    GuidedSearch search({.num_games = n, .simulations = 64, .seed = 9, .num_threads = 1});
    std::vector<std::optional<Game>> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = games[i % games.size()];
    if (search.start(roots)) std::abort();
    std::vector<float> priors, values;
    std::vector<std::int32_t> chosen(n);
    for (int move = 0; move < 6; ++move) {
        while (!search.done()) {
            const std::size_t count = search.pending();
            if (count == 0) continue;
            evaluate(search.leaves(), count, priors, values);
            search.expand(priors, false, values);
        }
        const VisitCounts visits = search.visit_counts();
        for (std::size_t k = 0; k < visits.counts.size(); ++k) {
            digest.add(visits.actions[k]);
            digest.add(visits.counts[k]);
        }
        search.select(1.0, chosen);
        for (std::int32_t a : chosen) digest.add(a);
        if (search.advance(chosen)) std::abort();
    }
    digest.add(static_cast<std::int64_t>(search.nodes()));
}

void run(const std::string& part, const std::vector<Game>& games, Digest& digest) {
    if (part == "uct-random") uct_part(games, false, digest);
    if (part == "uct-greedy") uct_part(games, true, digest);
    if (part == "guided") guided_part(games, digest);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Game> games = positions();
    if (argc == 3 && !std::strcmp(argv[1], "--only")) {
        Digest digest;
        run(argv[2], games, digest);
        std::printf("%016llx\n", static_cast<unsigned long long>(digest.value));
        return 0;
    }
    Digest all;
    for (const char* part : {"uct-random", "uct-greedy", "guided"}) {
        const auto start = Clock::now();
        run(part, games, all);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("%-12s %10.1f ms\n", part, ms);
    }
    std::printf("digest %016llx\n", static_cast<unsigned long long>(all.value));
}
