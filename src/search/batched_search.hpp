#pragma once
// Tree search guided by the caller's evaluations (priors and values) for many games at once:
// the PUCT rule on the tree of search/tree.hpp, driven from outside. Each round, pending() walks
// every game's tree down to one leaf that needs an evaluation; the caller evaluates them all in one
// batch and hands the results to expand(), which adds the leaves' children and backs their values
// up. Passes of done movers are played on the way (nodes are positions whose mover can place a
// piece, or finished games); a finished game's node is valued by its outcome without the caller.
//
// The rule, exactly: from a node whose mover is m, take the child maximising
//     Q_m(child) + c_puct · P(child) · √N(node) / (1 + N(child)),
// Q_m being the child's mean value for agent m (the node's own mean for a child never visited),
// ties to the lowest action, in double precision. N counts the evaluations backed up through a
// node, its own included: the root's first evaluation gives it N = 1 and is not a simulation,
// and a game's search is complete once its root's children hold `simulations` visits. No
// virtual loss: one leaf per game per round.
//
// With the Gumbel root (RootRule::gumbel) the choices are those of search/gumbel.hpp instead:
// sequential halving among a Gumbel-top-k sample of the root's children, the deterministic
// choice below it, no Dirichlet noise. Its root draws one Gumbel(0, 1) variable per child, in
// list order, from the slot's stream (times gumbel_scale) once its evaluation is in; each move's
// search starts from a fresh root, since halving plans the root's visits from none. Its
// results: the action halving leaves, and the improved policy as the root's policy.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "batch/shared_array.hpp"
#include "batch/worker_pool.hpp"
#include "game/game.hpp"
#include "game/legal_actions.hpp"
#include "game/observation.hpp"
#include "game/scoring.hpp"
#include "random/generator.hpp"
#include "search/gumbel.hpp"
#include "search/tree.hpp"

namespace krodan {

// How the root chooses its children (below the root each rule keeps its own).
enum class RootRule : std::uint8_t { puct, gumbel };
inline constexpr std::array<std::string_view, 2> ROOT_RULE_NAMES = {"puct", "gumbel"};
std::optional<RootRule> root_rule_named(std::string_view name);

struct GuidedSearchOptions {
    std::size_t num_games = 1;
    std::uint32_t simulations = 800;
    double c_puct = 1.25;
    double dirichlet_alpha = 0.05;
    double dirichlet_fraction = 0.25;  // 0: no noise
    RewardMode reward_mode = RewardMode::win_share;
    std::uint64_t seed = 0;    // game slot i draws from stream (seed, i) unless restarted
    unsigned num_threads = 0;  // 0: one per core
    bool dense_mask = false;
    RootRule root = RootRule::puct;
    std::uint32_t gumbel_actions = 16;  // m: the root samples min(m, children) children
    double gumbel_scale = 1;            // 0: the top of the priors, without noise
    GumbelConstants sigma{};            // σ(q)'s c_visit and c_scale
};

// The leaves of one round, row b for the b-th leaf; rows beyond the round's count hold older
// data. Allocated once for num_games rows (legal_actions grows, replaced by a larger array).
struct LeafArrays {
    SharedArray<std::uint8_t> observation;  // (N, 12, 20, 20), the leaf mover's view
    SharedArray<std::uint8_t> pieces;       // (N, 4, 21)
    SharedArray<std::uint8_t> done;         // (N, 4)
    SharedArray<std::uint8_t> action_mask;  // (N, 36400) when dense_mask
    SharedArray<std::int8_t> mover;         // (N) absolute
    SharedArray<std::int32_t> game_index;   // (N)
    SharedArray<std::int32_t> legal_actions;
    SharedArray<std::int32_t> legal_offsets;  // (N + 1)
};

// Per slot i: its root's legal actions (ascending) and their visits at
// [offsets[i], offsets[i + 1]); the root's mover, or -1 for an idle or finished slot (with no
// actions). visit_policy() turns the counts into probabilities.
struct VisitCounts {
    std::vector<std::int32_t> actions;
    std::vector<std::int32_t> counts;
    std::vector<std::int32_t> offsets;
    std::vector<std::int8_t> movers;
};

// What a call refused, before changing anything.
struct SearchRefusal {
    std::size_t game;
    std::string_view reason;
};

class GuidedSearch {
  public:
    explicit GuidedSearch(const GuidedSearchOptions& options);

    const GuidedSearchOptions& options() const { return options_; }
    std::size_t size() const { return slots_.size(); }
    unsigned num_threads() const { return pool_.num_threads(); }
    const LeafArrays& leaves() const { return leaves_; }

    // New roots: game i, or nothing to leave slot i idle. A game must not be over. With
    // `seeds`, slot i's stream restarts as stream (seeds[i], 0). Trees and pending leaves go.
    std::optional<SearchRefusal> start(std::span<const std::optional<Game>> games,
                                       std::span<const std::uint64_t> seeds = {});

    // Walks every searching game whose search is not complete down to a leaf to evaluate,
    // backing up the finished games met on the way; returns how many leaves it wrote. Called
    // again before expand(), it writes the same leaves without walking.
    std::size_t pending();

    // The evaluations of the pending leaves, row b for leaf b: priors over the leaf mover's
    // legal list (`dense`: rows of NUM_ACTIONS by action, else the CSR list's layout), and
    // values for the four agents from the leaf mover on, in [0, 1]. Priors are renormalised
    // over the legal actions, uniform when they sum to 0. The caller checked the numbers.
    void expand(std::span<const float> priors, bool dense, std::span<const float> values);

    std::size_t num_pending() const { return pending_.size(); }
    // No pending leaf and every searching game's search complete.
    bool done() const;
    // Every searching game's root has had its evaluation, so that its actions are known.
    bool roots_evaluated() const;

    // Every slot's root: its legal actions and their visits (see VisitCounts).
    VisitCounts visit_counts() const;

    // Each slot's root policy in the layout of `visits` (this search's visit_counts()): under
    // PUCT, visit_policy at `temperature`; under the Gumbel root, the improved policy, or at
    // T = 0 one-hot on the action halving leaves.
    void policy(const VisitCounts& visits, double temperature, std::span<float> probs) const;

    // Each root's Gumbel noise (gumbel_scale included) in the layout of visit_counts(); zeros
    // under PUCT.
    std::vector<double> root_noise() const;

    // One action per slot, -1 for an idle or finished slot. PUCT: drawn from the visit counts'
    // weights at `temperature` (see visit_weights) with the slot's stream, no draw for T = 0.
    // Gumbel: the action halving leaves, at every temperature (its noise was the draw).
    void select(double temperature, std::span<std::int32_t> out);

    // Plays actions[i] (the root mover's, in its frame; -1 for an idle or finished slot) and
    // keeps the chosen child's subtree as the new root. Every action is checked first.
    std::optional<SearchRefusal> advance(std::span<const std::int32_t> actions);

    // The trees' size now: nodes, and bytes reserved for nodes and child lists.
    std::size_t nodes() const;
    std::size_t bytes() const;

  private:
    struct Edge {
        std::uint32_t node = 0;
        float prior = 0;
        std::uint16_t action = 0;
    };
    struct Slot {
        bool searching = false;
        bool finished = false;  // the root game is over
        bool noised = false;    // the root's priors have their noise
        bool has_leaf = false;  // a leaf awaits its evaluation
        Game root;
        Game leaf;
        Generator rng;
        SearchTree<Edge> tree;
        std::vector<std::int32_t> leaf_actions;
        std::vector<double> noise;  // the root's Dirichlet or Gumbel draws
        // Gumbel only: each node's own evaluation for its mover, by node; the visits that each
        // simulation of the root considers.
        std::vector<float> raw_value;
        std::vector<std::uint32_t> considered;
    };
    struct alignas(64) ThreadScratch {
        LegalActionScratch legal;
        ChildStats children;
    };

    void reset_tree(Slot& slot) const;
    bool complete(const Slot& slot) const;
    void walk(Slot& slot, ThreadScratch& scratch) const;
    void add_noise(Slot& slot) const;
    void add_gumbel(Slot& slot) const;
    std::uint32_t gumbel_child(Slot& slot, std::uint32_t at, ChildStats& stats) const;
    // The index into the root's children of the action halving leaves.
    std::size_t gumbel_action(const Slot& slot, ChildStats& stats) const;
    bool gumbel() const { return options_.root == RootRule::gumbel; }
    void write_leaf(std::size_t row, const Slot& slot, std::size_t slot_index);
    bool root_legal(Slot& slot, std::int32_t action, LegalActionScratch& scratch) const;

    GuidedSearchOptions options_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> pending_;  // slot of each pending leaf, in slot order
    std::vector<std::uint8_t> refused_;   // per slot, for checks run on the pool
    LeafArrays leaves_;
    std::vector<ThreadScratch> scratch_;
    WorkerPool pool_;
};

}  // namespace krodan
