#pragma once
// Monte Carlo tree search with the UCT rule for four agents. A node is a position whose mover
// can place a piece (the passes of done movers are played on the way, they are not choices) or a
// finished game. Every node keeps its visit count and, for each agent, the sum of the values that
// simulations through it brought back, values being outcomes normalised to [0, 1]. A simulation
// walks down by maximising the mover's mean value plus c·√(ln N(parent) / N(child)), taking the
// untried children first in an order drawn from the tree's stream, adds one node, plays a
// rollout from it to the end and adds the outcome along the path.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "agents/policies.hpp"
#include "game/game.hpp"
#include "game/scoring.hpp"
#include "random/generator.hpp"

namespace krodan {

enum class Rollout : std::uint8_t { random = 0, greedy = 1 };

inline constexpr std::array<std::string_view, 2> ROLLOUT_NAMES = {"random", "greedy"};

// The rollout policy of this exact name, or nothing.
std::optional<Rollout> rollout_named(std::string_view name);

struct UctOptions {
    std::uint32_t simulations = 1000;  // over all trees
    double c = 1.4142;
    Rollout rollout = Rollout::random;
    unsigned trees = 1;  // independent trees whose root visits are summed
    RewardMode reward_mode = RewardMode::win_share;
};

// Every agent's outcome mapped to [0, 1]: scores (−89 to 20) as (s + 89) / 109, the other
// modes as they are.
std::array<double, NUM_AGENTS> normalised_outcome(const Game& finished, RewardMode mode);

// What one tree (or the sum of several) found at the root.
struct RootVisits {
    std::vector<std::int32_t> actions;  // the root mover's legal actions, ascending
    std::vector<std::int32_t> visits;   // the simulations through each
    // The tree's size: nodes, and bytes of nodes and child lists (the peak over the trees).
    std::size_t nodes = 0;
    std::size_t bytes = 0;
};

// One tree's memory: the node pool and the child lists, kept between searches of one thread
// so that only the first allocates; release() frees them.
class UctTree {
  public:
    // Runs `simulations` simulations from `root`, whose mover must be in play, drawing from
    // `rng`; adds the root's visits to `out.visits` (whose actions it fills when empty).
    void search(const Game& root, std::uint32_t simulations, const UctOptions& options,
                Generator rng, RootVisits& out);
    void release();

  private:
    struct Node {
        std::array<double, NUM_AGENTS> value{};  // sums of normalised outcomes
        std::uint32_t visits = 0;
        std::uint32_t first_child = 0;  // into children_
        std::uint16_t num_children = 0;
        std::uint16_t tried = 0;  // children_[first_child, + tried) have nodes
        std::uint8_t mover = 0;
        bool expanded = false;  // the child list is made
        bool terminal = false;
    };
    struct Child {
        std::uint32_t node = 0;  // 0: no node yet
        std::uint16_t action = 0;
    };

    std::uint32_t add_node(const Game& game);
    void expand(std::uint32_t node, const Game& game);
    std::uint32_t select(const Node& node) const;
    void rollout(Game& game, const UctOptions& options, Generator& rng);

    double c_ = 0;
    std::vector<Node> nodes_;
    std::vector<Child> children_;
    std::vector<std::uint32_t> path_;
    PolicyScratch scratch_;
};

// Plays the passes of done movers until the mover can place a piece or the game is over.
void skip_passes(Game& game);

// Plays a search's choice (an action of the mover's frame, legal), then the passes after it.
void play_choice(Game& game, std::uint32_t action);

// The search of options.trees trees from `root` (mover in play), tree t drawing from
// Generator(seed, t) and getting simulations / trees simulations (the first ones one more for
// the remainder). With `parallel`, the trees grow on threads of their own.
RootVisits uct_search(const Game& root, const UctOptions& options, std::uint64_t seed,
                      bool parallel, std::span<UctTree> trees);

// The most visited action, ties to the lowest action.
std::int32_t most_visited(const RootVisits& visits);

}  // namespace krodan
