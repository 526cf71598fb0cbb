#pragma once
// Monte Carlo tree search with the UCT rule for four agents, on the tree of search/tree.hpp.
// Every node keeps its visit count and, for each agent, the sum of the values that simulations
// through it brought back, values being outcomes normalised to [0, 1]. A simulation walks down
// by maximising the mover's mean value plus c·√(ln N(parent) / N(child)), taking the untried
// children first in an order drawn from the tree's stream, adds one node, has the caller's
// rollout play the game from it to the end and adds the outcome along the path.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "batch/function_ref.hpp"
#include "game/game.hpp"
#include "game/scoring.hpp"
#include "random/generator.hpp"
#include "search/tree.hpp"

namespace krodan {

struct UctOptions {
    std::uint32_t simulations = 1000;  // over all trees
    double c = 1.4142;
    unsigned trees = 1;  // independent trees whose root visits are summed
    RewardMode reward_mode = RewardMode::win_share;
};

// How a new leaf is valued: plays `game` (in play, or over) to its end, drawing from `rng`.
// `tree` names the tree asking, so that the caller can give each tree its own memory: trees may
// grow on threads of their own.
using Rollout = FunctionRef<void(unsigned tree, Game& game, Generator& rng)>;

// What one tree (or the sum of several) found at the root.
struct RootVisits {
    std::vector<std::int32_t> actions;  // the root mover's legal actions, ascending
    std::vector<std::int32_t> visits;   // the simulations through each
    // The tree's size: nodes, and bytes of nodes and child lists (the peak over the trees).
    std::size_t nodes = 0;
    std::size_t bytes = 0;
};

// One tree's memory, kept between searches of one thread so that only the first allocates;
// release() frees it.
class UctTree {
  public:
    // Runs `simulations` simulations from `root`, whose mover must be in play, drawing from
    // `rng`, tree `index` of `rollout`.
    void search(const Game& root, std::uint32_t simulations, const UctOptions& options,
                Generator rng, Rollout rollout, unsigned index);
    // Adds the visits of the root's children of the latest search to visits[k], actions[k]
    // being the child's action (the root mover's legal actions, ascending).
    void add_root_visits(std::span<const std::int32_t> actions,
                         std::span<std::int32_t> visits) const;
    std::size_t nodes() const { return tree_.size(); }
    std::size_t bytes() const { return tree_.bytes(); }
    void release();

  private:
    struct Edge {
        std::uint32_t node = 0;
        std::uint16_t action = 0;
    };

    void expand(std::uint32_t node, const Game& game);

    SearchTree<Edge> tree_;
    std::vector<PlacementId> ids_;
};

// The search of options.trees trees from `root` (mover in play), tree t drawing from
// Generator(seed, t) and getting simulations / trees simulations (the first ones one more for
// the remainder). With `parallel`, the trees grow on threads of their own.
RootVisits uct_search(const Game& root, const UctOptions& options, std::uint64_t seed,
                      bool parallel, std::span<UctTree> trees, Rollout rollout);

// The most visited action, ties to the lowest action.
std::int32_t most_visited(const RootVisits& visits);

}  // namespace krodan
