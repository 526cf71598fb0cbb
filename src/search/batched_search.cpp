#include "search/batched_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "game/internal_error.hpp"
#include "game/passes.hpp"
#include "random/dirichlet.hpp"
#include "search/selection.hpp"
#include "search/visit_policy.hpp"

namespace krodan {
namespace {

// The legal actions of a node's mover, in its frame, ascending, into `out`.
void legal_list(const Game& game, LegalActionScratch& scratch, std::vector<std::int32_t>& out) {
    mover_legal_actions(game, scratch, out);
    if (out.empty() || out.size() > UINT16_MAX)
        throw InternalError("a node's mover has no legal action or too many");
}

}  // namespace

std::optional<RootRule> root_rule_named(std::string_view name) {
    for (std::size_t i = 0; i < ROOT_RULE_NAMES.size(); ++i)
        if (ROOT_RULE_NAMES[i] == name) return static_cast<RootRule>(i);
    return std::nullopt;
}

GuidedSearch::GuidedSearch(const GuidedSearchOptions& options)
    : options_(options), slots_(options.num_games), pool_(options.num_threads) {
    const std::size_t n = options.num_games;
    for (std::size_t i = 0; i < n; ++i) {
        slots_[i].rng = Generator(options.seed, i);
        slots_[i].tree.reserve(std::size_t{options.simulations} + 1);
        if (gumbel()) {
            slots_[i].raw_value.reserve(std::size_t{options.simulations} + 1);
            slots_[i].considered.reserve(options.simulations);
        }
    }
    leaves_.observation = SharedArray<std::uint8_t>(n * 3 * PLANE_BYTES);
    leaves_.pieces = SharedArray<std::uint8_t>(n * PIECES_BYTES);
    leaves_.done = SharedArray<std::uint8_t>(n * DONE_BYTES);
    if (options.dense_mask) leaves_.action_mask = SharedArray<std::uint8_t>(n * NUM_ACTIONS);
    leaves_.mover = SharedArray<std::int8_t>(n);
    leaves_.game_index = SharedArray<std::int32_t>(n);
    leaves_.legal_actions = SharedArray<std::int32_t>(n * 64);
    leaves_.legal_offsets = SharedArray<std::int32_t>(n + 1);
    pending_.reserve(n);
    refused_.resize(n);
    scratch_.resize(pool_.num_threads());
}

void GuidedSearch::reset_tree(Slot& slot) const {
    slot.tree.reset(slot.root);
    slot.finished = slot.tree.node(0).state == NodeState::terminal;
    slot.noised = false;
    slot.has_leaf = false;
}

std::optional<SearchRefusal> GuidedSearch::start(std::span<const std::optional<Game>> games,
                                                 std::span<const std::uint64_t> seeds) {
    if (games.size() != size() || (!seeds.empty() && seeds.size() != size()))
        throw InternalError("start() takes one game and one seed per slot");
    for (std::size_t i = 0; i < size(); ++i)
        if (games[i] && is_over(*games[i])) return SearchRefusal{i, "the game is over"};
    pending_.clear();
    for (std::size_t i = 0; i < size(); ++i) {
        Slot& slot = slots_[i];
        if (!seeds.empty()) slot.rng = Generator(seeds[i], 0);
        slot.searching = games[i].has_value();
        if (slot.searching) {
            slot.root = *games[i];
            skip_passes(slot.root);
            reset_tree(slot);
        } else {
            slot.tree.clear();
            slot.finished = false;
            slot.has_leaf = false;
        }
    }
    return std::nullopt;
}

bool GuidedSearch::complete(const Slot& slot) const {
    if (!slot.searching || slot.finished) return true;
    const Node& root = slot.tree.node(0);
    return root.state == NodeState::expanded && root.visits - 1 >= options_.simulations;
}

bool GuidedSearch::done() const {
    return pending_.empty() &&
           std::all_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return complete(s); });
}

bool GuidedSearch::roots_evaluated() const {
    return std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) {
        return !s.searching || s.finished || s.tree.node(0).state == NodeState::expanded;
    });
}

void GuidedSearch::add_noise(Slot& slot) const {
    slot.noised = true;
    const double fraction = options_.dirichlet_fraction;
    if (fraction <= 0) return;
    const Node& root = slot.tree.node(0);
    slot.noise.resize(root.num_children);
    dirichlet_draw(options_.dirichlet_alpha, slot.rng, slot.noise);
    for (std::uint32_t k = 0; k < root.num_children; ++k) {
        Edge& edge = slot.tree.edge(root.first_child + k);
        edge.prior = static_cast<float>((1 - fraction) * edge.prior + fraction * slot.noise[k]);
    }
}

void GuidedSearch::add_gumbel(Slot& slot) const {
    slot.noised = true;
    const Node& root = slot.tree.node(0);
    slot.noise.resize(root.num_children);
    for (double& g : slot.noise)
        g = options_.gumbel_scale * -std::log(-std::log(open_uniform(slot.rng)));
    const std::uint32_t sampled =
        std::min<std::uint32_t>(options_.gumbel_actions, root.num_children);
    considered_visits(sampled, options_.simulations, slot.considered);
}

std::uint32_t GuidedSearch::gumbel_child(Slot& slot, std::uint32_t at, ChildStats& stats) const {
    const Node& node = slot.tree.node(at);
    read_children(slot.tree, node, stats);
    transform_q(stats, slot.raw_value[at], options_.sigma);
    // At the root, the simulations so far index the halving's plan.
    const std::size_t k = at == 0
                              ? halving_choice(stats, slot.noise, slot.considered[node.visits - 1])
                              : interior_choice(stats);
    return node.first_child + static_cast<std::uint32_t>(k);
}

std::size_t GuidedSearch::gumbel_action(const Slot& slot, ChildStats& stats) const {
    read_children(slot.tree, slot.tree.node(0), stats);
    transform_q(stats, slot.raw_value[0], options_.sigma);
    const double most = *std::max_element(stats.visits.begin(), stats.visits.end());
    return halving_choice(stats, slot.noise, most);
}

void GuidedSearch::walk(Slot& slot, ThreadScratch& scratch) const {
    SearchTree<Edge>& tree = slot.tree;
    if (tree.node(0).state == NodeState::fresh) {
        slot.leaf = slot.root;
        tree.path_to_root();
        legal_list(slot.leaf, scratch.legal, slot.leaf_actions);
        slot.has_leaf = true;
        return;
    }
    if (!slot.noised) add_noise(slot);  // the Gumbel root's noise came with its evaluation
    const auto choose = [&](std::uint32_t at, const Game&) {
        if (gumbel()) return gumbel_child(slot, at, scratch.children);
        return puct_child(tree, tree.node(at), options_.c_puct);
    };
    while (!complete(slot)) {
        Game game = slot.root;
        // A finished game is valued here, without the caller; the walk goes on.
        if (tree.node(tree.descend(game, choose)).state == NodeState::terminal) {
            tree.back_up(normalised_outcome(game, options_.reward_mode));
            continue;
        }
        slot.leaf = game;
        legal_list(slot.leaf, scratch.legal, slot.leaf_actions);
        slot.has_leaf = true;
        return;
    }
}

void GuidedSearch::write_leaf(std::size_t row, const Slot& slot, std::size_t slot_index) {
    const Game& game = slot.leaf;
    const auto mover = static_cast<unsigned>(game.current_agent);
    write_observation(build_observation(game, mover),
                      observation_spans(leaves_.observation.data() + row * 3 * PLANE_BYTES,
                                        leaves_.pieces.data() + row * PIECES_BYTES,
                                        leaves_.done.data() + row * DONE_BYTES));
    leaves_.mover[row] = static_cast<std::int8_t>(mover);
    leaves_.game_index[row] = static_cast<std::int32_t>(slot_index);
    std::copy(slot.leaf_actions.begin(), slot.leaf_actions.end(),
              leaves_.legal_actions.data() + leaves_.legal_offsets[row]);
    if (options_.dense_mask) {
        std::uint8_t* mask = leaves_.action_mask.data() + row * NUM_ACTIONS;
        std::memset(mask, 0, NUM_ACTIONS);
        for (std::int32_t a : slot.leaf_actions) mask[a] = 1;
    }
}

std::size_t GuidedSearch::pending() {
    if (!pending_.empty()) return pending_.size();
    pool_.run(size(), [&](std::size_t i, unsigned thread) {
        Slot& slot = slots_[i];
        if (!slot.has_leaf && !complete(slot)) walk(slot, scratch_[thread]);
    });
    std::size_t total = 0;
    for (std::size_t i = 0; i < size(); ++i) {
        if (!slots_[i].has_leaf) continue;
        leaves_.legal_offsets[pending_.size()] = static_cast<std::int32_t>(total);
        pending_.push_back(static_cast<std::uint32_t>(i));
        total += slots_[i].leaf_actions.size();
    }
    leaves_.legal_offsets[pending_.size()] = static_cast<std::int32_t>(total);
    if (total > leaves_.legal_actions.size())
        leaves_.legal_actions = SharedArray<std::int32_t>(2 * total);
    pool_.run(pending_.size(),
              [&](std::size_t b, unsigned) { write_leaf(b, slots_[pending_[b]], pending_[b]); });
    return pending_.size();
}

void GuidedSearch::expand(std::span<const float> priors, bool dense,
                          std::span<const float> values) {
    const std::size_t count = pending_.size();
    const auto listed = static_cast<std::size_t>(leaves_.legal_offsets[count]);
    if (count == 0 || values.size() != count * NUM_AGENTS ||
        priors.size() != (dense ? count * NUM_ACTIONS : listed))
        throw InternalError("expand() takes one evaluation per pending leaf");
    pool_.run(count, [&](std::size_t b, unsigned) {
        Slot& slot = slots_[pending_[b]];
        const std::uint32_t at = slot.tree.path().back();
        const std::vector<std::int32_t>& actions = slot.leaf_actions;
        const float* row =
            dense ? priors.data() + b * NUM_ACTIONS : priors.data() + leaves_.legal_offsets[b];
        const auto prior_of = [&](std::size_t k) {
            return static_cast<double>(dense ? row[actions[k]] : row[k]);
        };
        double sum = 0;
        for (std::size_t k = 0; k < actions.size(); ++k) sum += prior_of(k);
        slot.tree.add_children(at, actions.size(), [&](std::size_t k) {
            const double p =
                sum > 0 ? prior_of(k) / sum : 1.0 / static_cast<double>(actions.size());
            return Edge{0, static_cast<float>(p), static_cast<std::uint16_t>(actions[k])};
        });
        const unsigned mover = slot.tree.node(at).mover;
        std::array<double, NUM_AGENTS> value;
        for (unsigned k = 0; k < NUM_AGENTS; ++k)
            value[AGENT_ORDER[mover][k]] = values[b * NUM_AGENTS + k];
        slot.tree.back_up(value);
        if (gumbel()) {
            slot.raw_value.resize(slot.tree.size());
            slot.raw_value[at] = values[b * NUM_AGENTS];
            if (at == 0) add_gumbel(slot);
        }
        slot.has_leaf = false;
    });
    pending_.clear();
}

VisitCounts GuidedSearch::visit_counts() const {
    VisitCounts out;
    out.offsets.push_back(0);
    for (const Slot& slot : slots_) {
        // An idle slot's tree is empty: the flags come first.
        const bool has_root =
            slot.searching && !slot.finished && slot.tree.node(0).state == NodeState::expanded;
        out.movers.push_back(has_root ? static_cast<std::int8_t>(slot.tree.node(0).mover) : -1);
        if (has_root) {
            const Node& root = slot.tree.node(0);
            for (std::uint32_t k = root.first_child; k < root.first_child + root.num_children;
                 ++k) {
                out.actions.push_back(slot.tree.edge(k).action);
                out.counts.push_back(static_cast<std::int32_t>(slot.tree.edge_visits(k)));
            }
        }
        out.offsets.push_back(static_cast<std::int32_t>(out.actions.size()));
    }
    return out;
}

void GuidedSearch::select(double temperature, std::span<std::int32_t> out) {
    if (out.size() != size()) throw InternalError("select() writes one action per slot");
    const VisitCounts visits = visit_counts();
    std::vector<double> weights;
    for (std::size_t i = 0; i < size(); ++i) {
        out[i] = -1;
        if (visits.movers[i] < 0) continue;
        if (gumbel()) {
            const std::size_t k = gumbel_action(slots_[i], scratch_[0].children);
            out[i] = visits.actions[static_cast<std::size_t>(visits.offsets[i]) + k];
            continue;
        }
        const auto first = static_cast<std::size_t>(visits.offsets[i]);
        const auto length = static_cast<std::size_t>(visits.offsets[i + 1]) - first;
        weights.resize(length);
        visit_weights({visits.counts.data() + first, length}, temperature, weights);
        std::size_t chosen = 0;
        if (temperature == 0) {
            chosen = static_cast<std::size_t>(std::find(weights.begin(), weights.end(), 1.0) -
                                              weights.begin());
        } else {
            double total = 0;
            for (double w : weights) total += w;
            const double draw = open_uniform(slots_[i].rng) * total;
            double sum = 0;
            chosen = weights.size() - 1;
            for (std::size_t k = 0; k < weights.size(); ++k) {
                sum += weights[k];
                if (draw < sum && weights[k] > 0) {
                    chosen = k;
                    break;
                }
            }
        }
        out[i] = visits.actions[first + chosen];
    }
}

void GuidedSearch::policy(const VisitCounts& visits, double temperature,
                          std::span<float> probs) const {
    if (!gumbel()) {
        visit_policy(visits.counts, visits.offsets, temperature, probs);
        return;
    }
    ChildStats stats;
    std::vector<double> improved;
    for (std::size_t i = 0; i < size(); ++i) {
        if (visits.movers[i] < 0) continue;
        const auto first = static_cast<std::size_t>(visits.offsets[i]);
        const auto length = static_cast<std::size_t>(visits.offsets[i + 1]) - first;
        improved.assign(length, 0.0);
        const std::size_t chosen = gumbel_action(slots_[i], stats);  // reads the root's children
        if (temperature == 0)
            improved[chosen] = 1;
        else
            improved_policy(stats, improved);
        for (std::size_t k = 0; k < length; ++k) probs[first + k] = static_cast<float>(improved[k]);
    }
}

std::vector<double> GuidedSearch::root_noise() const {
    const VisitCounts visits = visit_counts();
    std::vector<double> out(visits.actions.size());
    if (!gumbel()) return out;
    for (std::size_t i = 0; i < size(); ++i)
        if (visits.movers[i] >= 0)
            std::copy(slots_[i].noise.begin(), slots_[i].noise.end(),
                      out.begin() + visits.offsets[i]);
    return out;
}

bool GuidedSearch::root_legal(Slot& slot, std::int32_t action, LegalActionScratch& scratch) const {
    const Node& root = slot.tree.node(0);
    if (root.state == NodeState::expanded) {
        const Edge* first = &slot.tree.edge(root.first_child);
        const Edge* last = first + root.num_children;
        const Edge* at = std::lower_bound(first, last, action, [](const Edge& e, std::int32_t a) {
            return static_cast<std::int32_t>(e.action) < a;
        });
        return at != last && at->action == action;
    }
    // A root not evaluated yet: when its evaluation is pending, leaf_actions is its list
    // already and must stay as it is should this check refuse.
    if (!slot.has_leaf) legal_list(slot.root, scratch, slot.leaf_actions);
    return std::binary_search(slot.leaf_actions.begin(), slot.leaf_actions.end(), action);
}

std::optional<SearchRefusal> GuidedSearch::advance(std::span<const std::int32_t> actions) {
    if (actions.size() != size()) throw InternalError("advance() takes one action per slot");
    pool_.run(size(), [&](std::size_t i, unsigned thread) {
        Slot& slot = slots_[i];
        if (!slot.searching || slot.finished)
            refused_[i] = actions[i] != -1;
        else
            refused_[i] = actions[i] < 0 || !root_legal(slot, actions[i], scratch_[thread].legal);
    });
    for (std::size_t i = 0; i < size(); ++i) {
        if (!refused_[i]) continue;
        const Slot& slot = slots_[i];
        return SearchRefusal{i, !slot.searching ? "the slot is idle and takes -1"
                                : slot.finished ? "the game is over and takes -1"
                                                : "not a legal action of the root's mover"};
    }
    pending_.clear();
    pool_.run(size(), [&](std::size_t i, unsigned) {
        Slot& slot = slots_[i];
        if (!slot.searching || slot.finished) return;
        const Node& root = slot.tree.node(0);
        std::uint32_t kept = 0;
        if (root.state == NodeState::expanded) {
            for (std::uint32_t k = root.first_child; k < root.first_child + root.num_children; ++k)
                if (slot.tree.edge(k).action == actions[i]) kept = slot.tree.edge(k).node;
        }
        play_choice(slot.root, static_cast<std::uint32_t>(actions[i]));
        // A child that no value has reached yet (the pending leaf) is a fresh root; so is every
        // root of the Gumbel rule, whose halving plans the visits of a root from none.
        if (!gumbel() && kept != 0 && slot.tree.node(kept).visits > 0) {
            slot.tree.keep_subtree(kept);
            slot.finished = slot.tree.node(0).state == NodeState::terminal;
            slot.noised = false;
            slot.has_leaf = false;
        } else {
            reset_tree(slot);
        }
    });
    return std::nullopt;
}

std::size_t GuidedSearch::nodes() const {
    std::size_t total = 0;
    for (const Slot& slot : slots_) total += slot.tree.size();
    return total;
}

std::size_t GuidedSearch::bytes() const {
    std::size_t total = 0;
    for (const Slot& slot : slots_) total += slot.tree.bytes();
    return total;
}

}  // namespace krodan
