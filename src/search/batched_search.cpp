#include "search/batched_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "game/agent_masks.hpp"
#include "game/internal_error.hpp"
#include "random/dirichlet.hpp"
#include "search/uct.hpp"

namespace krodan {
namespace {

// The mover's legal actions in its frame, ascending, into `out`.
void legal_list(const Game& game, LegalActionScratch& scratch, std::vector<std::int32_t>& out) {
    const auto mover = static_cast<unsigned>(game.current_agent);
    const AgentMasks masks = agent_masks(game, mover);
    out.clear();
    append_legal_actions(*game.table, masks.blocked, masks.corners,
                         game.agent_states[mover].remaining, scratch, out, mover);
    if (out.empty() || out.size() > UINT16_MAX)
        throw InternalError("a node's mover has no legal action or too many");
}

}  // namespace

GuidedSearch::GuidedSearch(const GuidedSearchOptions& options)
    : options_(options), slots_(options.num_games), pool_(options.num_threads) {
    const std::size_t n = options.num_games;
    for (std::size_t i = 0; i < n; ++i) {
        slots_[i].rng = Generator(options.seed, i);
        slots_[i].nodes.reserve(std::size_t{options.simulations} + 1);
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
    slot.nodes.clear();
    slot.edges.clear();
    Node root;
    root.mover = static_cast<std::uint8_t>(slot.root.current_agent);
    root.state = is_over(slot.root) ? NodeState::terminal : NodeState::fresh;
    slot.nodes.push_back(root);
    slot.finished = root.state == NodeState::terminal;
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
            slot.nodes.clear();
            slot.edges.clear();
            slot.finished = false;
            slot.has_leaf = false;
        }
    }
    return std::nullopt;
}

bool GuidedSearch::complete(const Slot& slot) const {
    if (!slot.searching || slot.finished) return true;
    const Node& root = slot.nodes[0];
    return root.state == NodeState::expanded && root.visits - 1 >= options_.simulations;
}

bool GuidedSearch::done() const {
    return pending_.empty() &&
           std::all_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return complete(s); });
}

bool GuidedSearch::roots_evaluated() const {
    return std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) {
        return !s.searching || s.finished || s.nodes[0].state == NodeState::expanded;
    });
}

void GuidedSearch::add_noise(Slot& slot) const {
    slot.noised = true;
    const double fraction = options_.dirichlet_fraction;
    if (fraction <= 0) return;
    const Node& root = slot.nodes[0];
    slot.noise.resize(root.num_children);
    dirichlet_draw(options_.dirichlet_alpha, slot.rng, slot.noise);
    for (std::uint32_t k = 0; k < root.num_children; ++k) {
        Edge& edge = slot.edges[root.first_child + k];
        edge.prior = static_cast<float>((1 - fraction) * edge.prior + fraction * slot.noise[k]);
    }
}

std::uint32_t GuidedSearch::select_child(const Slot& slot, const Node& node) const {
    const unsigned m = node.mover;
    const double parent_q = node.value[m] / node.visits;
    const double root_visits = std::sqrt(static_cast<double>(node.visits));
    double best_score = -std::numeric_limits<double>::infinity();
    std::uint32_t best = node.first_child;
    // Children are in ascending action order: a strict comparison leaves ties to the lowest.
    for (std::uint32_t k = node.first_child; k < node.first_child + node.num_children; ++k) {
        const Edge& edge = slot.edges[k];
        double q = parent_q;
        double n = 0;
        if (edge.node != 0) {
            const Node& child = slot.nodes[edge.node];
            n = child.visits;
            if (child.visits > 0) q = child.value[m] / n;
        }
        const double score =
            q + options_.c_puct * static_cast<double>(edge.prior) * root_visits / (1 + n);
        if (score > best_score) {
            best_score = score;
            best = k;
        }
    }
    return best;
}

void GuidedSearch::back_up(Slot& slot, const std::array<double, NUM_AGENTS>& value) const {
    for (std::uint32_t k : slot.path) {
        Node& node = slot.nodes[k];
        ++node.visits;
        for (unsigned a = 0; a < NUM_AGENTS; ++a) node.value[a] += value[a];
    }
}

void GuidedSearch::walk(Slot& slot, LegalActionScratch& scratch) const {
    if (slot.nodes[0].state == NodeState::fresh) {
        slot.leaf = slot.root;
        slot.path.assign(1, 0);
        legal_list(slot.leaf, scratch, slot.leaf_actions);
        slot.has_leaf = true;
        return;
    }
    if (!slot.noised) add_noise(slot);
    while (!complete(slot)) {
        Game game = slot.root;
        std::uint32_t at = 0;
        slot.path.assign(1, 0);
        for (;;) {
            if (slot.nodes[at].state == NodeState::terminal) {
                back_up(slot, normalised_outcome(game, options_.reward_mode));
                break;
            }
            Edge& edge = slot.edges[select_child(slot, slot.nodes[at])];
            play_choice(game, edge.action);
            if (edge.node != 0) {
                at = edge.node;
                slot.path.push_back(at);
                continue;
            }
            if (slot.nodes.size() > options_.simulations)
                throw InternalError("a tree outgrew its simulations");
            Node child;
            child.mover = static_cast<std::uint8_t>(game.current_agent);
            child.state = is_over(game) ? NodeState::terminal : NodeState::fresh;
            edge.node = static_cast<std::uint32_t>(slot.nodes.size());
            slot.nodes.push_back(child);
            slot.path.push_back(edge.node);
            if (child.state == NodeState::terminal) {
                back_up(slot, normalised_outcome(game, options_.reward_mode));
                break;
            }
            slot.leaf = game;
            legal_list(slot.leaf, scratch, slot.leaf_actions);
            slot.has_leaf = true;
            return;
        }
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
        if (!slot.has_leaf && !complete(slot)) walk(slot, scratch_[thread].legal);
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
        const std::uint32_t at = slot.path.back();
        const std::vector<std::int32_t>& actions = slot.leaf_actions;
        const float* row =
            dense ? priors.data() + b * NUM_ACTIONS : priors.data() + leaves_.legal_offsets[b];
        const auto prior_of = [&](std::size_t k) {
            return static_cast<double>(dense ? row[actions[k]] : row[k]);
        };
        double sum = 0;
        for (std::size_t k = 0; k < actions.size(); ++k) sum += prior_of(k);
        Node& node = slot.nodes[at];
        node.first_child = static_cast<std::uint32_t>(slot.edges.size());
        node.num_children = static_cast<std::uint16_t>(actions.size());
        node.state = NodeState::expanded;
        for (std::size_t k = 0; k < actions.size(); ++k) {
            const double p =
                sum > 0 ? prior_of(k) / sum : 1.0 / static_cast<double>(actions.size());
            slot.edges.push_back(
                {0, static_cast<float>(p), static_cast<std::uint16_t>(actions[k])});
        }
        std::array<double, NUM_AGENTS> value;
        for (unsigned k = 0; k < NUM_AGENTS; ++k)
            value[AGENT_ORDER[node.mover][k]] = values[b * NUM_AGENTS + k];
        back_up(slot, value);
        slot.has_leaf = false;
    });
    pending_.clear();
}

VisitCounts GuidedSearch::visit_counts() const {
    VisitCounts out;
    out.offsets.push_back(0);
    for (const Slot& slot : slots_) {
        const bool has_root =
            slot.searching && !slot.finished && slot.nodes[0].state == NodeState::expanded;
        out.movers.push_back(has_root ? static_cast<std::int8_t>(slot.nodes[0].mover) : -1);
        if (has_root) {
            const Node& root = slot.nodes[0];
            for (std::uint32_t k = root.first_child; k < root.first_child + root.num_children;
                 ++k) {
                const Edge& edge = slot.edges[k];
                out.actions.push_back(edge.action);
                out.counts.push_back(
                    edge.node != 0 ? static_cast<std::int32_t>(slot.nodes[edge.node].visits) : 0);
            }
        }
        out.offsets.push_back(static_cast<std::int32_t>(out.actions.size()));
    }
    return out;
}

namespace {

// Weights ∝ counts^(1/T), as (count / most)^(1/T) so that a small T cannot overflow; T = 0
// puts all on the first most visited. Uniform when nothing was visited.
void weights_of(std::span<const std::int32_t> counts, double temperature, std::span<double> out) {
    const auto most = std::max_element(counts.begin(), counts.end());
    for (std::size_t k = 0; k < counts.size(); ++k) {
        if (*most == 0)
            out[k] = 1;
        else if (temperature == 0)
            out[k] = counts.begin() + static_cast<std::ptrdiff_t>(k) == most ? 1 : 0;
        else
            out[k] = std::pow(static_cast<double>(counts[k]) / *most, 1 / temperature);
    }
}

}  // namespace

void visit_policy(const VisitCounts& visits, double temperature, std::span<float> probs) {
    const auto& counts = visits.counts;
    if (probs.size() != counts.size()) throw InternalError("a policy takes one entry per count");
    std::vector<double> weights(counts.size());
    for (std::size_t i = 0; i + 1 < visits.offsets.size(); ++i) {
        const auto first = static_cast<std::size_t>(visits.offsets[i]);
        const auto length = static_cast<std::size_t>(visits.offsets[i + 1]) - first;
        std::span<double> w(weights.data() + first, length);
        weights_of({counts.data() + first, length}, temperature, w);
        double total = 0;
        for (double x : w) total += x;
        for (std::size_t k = 0; k < length; ++k)
            probs[first + k] = static_cast<float>(w[k] / total);
    }
}

void GuidedSearch::select(double temperature, std::span<std::int32_t> out) {
    if (out.size() != size()) throw InternalError("select() writes one action per slot");
    std::vector<std::int32_t> counts;
    std::vector<double> weights;
    for (std::size_t i = 0; i < size(); ++i) {
        Slot& slot = slots_[i];
        out[i] = -1;
        if (!slot.searching || slot.finished || slot.nodes[0].state != NodeState::expanded)
            continue;
        const Node& root = slot.nodes[0];
        counts.clear();
        for (std::uint32_t k = root.first_child; k < root.first_child + root.num_children; ++k) {
            const Edge& edge = slot.edges[k];
            counts.push_back(
                edge.node != 0 ? static_cast<std::int32_t>(slot.nodes[edge.node].visits) : 0);
        }
        weights.resize(counts.size());
        weights_of(counts, temperature, weights);
        std::size_t chosen = 0;
        if (temperature == 0) {
            chosen = static_cast<std::size_t>(std::find(weights.begin(), weights.end(), 1.0) -
                                              weights.begin());
        } else {
            double total = 0;
            for (double w : weights) total += w;
            const double draw = open_uniform(slot.rng) * total;
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
        out[i] = slot.edges[root.first_child + chosen].action;
    }
}

bool GuidedSearch::root_legal(Slot& slot, std::int32_t action, LegalActionScratch& scratch) const {
    const Node& root = slot.nodes[0];
    if (root.state == NodeState::expanded) {
        const auto first = slot.edges.begin() + root.first_child;
        const auto last = first + root.num_children;
        const auto at = std::lower_bound(first, last, action, [](const Edge& e, std::int32_t a) {
            return static_cast<std::int32_t>(e.action) < a;
        });
        return at != last && at->action == action;
    }
    // A root not evaluated yet: when its evaluation is pending, leaf_actions is its list
    // already and must stay as it is should this check refuse.
    if (!slot.has_leaf) legal_list(slot.root, scratch, slot.leaf_actions);
    return std::binary_search(slot.leaf_actions.begin(), slot.leaf_actions.end(), action);
}

void GuidedSearch::keep_subtree(Slot& slot, std::uint32_t child) const {
    // Breadth first into the spare pool: stack[i] is the old index of new node i. The pending
    // leaf, never evaluated, is left out.
    slot.spare_nodes.clear();
    slot.spare_edges.clear();
    slot.spare_nodes.reserve(std::size_t{options_.simulations} + 1);
    slot.stack.clear();
    slot.spare_nodes.push_back(slot.nodes[child]);
    slot.stack.push_back(child);
    for (std::size_t i = 0; i < slot.spare_nodes.size(); ++i) {
        const Node& old = slot.nodes[slot.stack[i]];
        if (old.state != NodeState::expanded) continue;
        slot.spare_nodes[i].first_child = static_cast<std::uint32_t>(slot.spare_edges.size());
        for (std::uint32_t k = old.first_child; k < old.first_child + old.num_children; ++k) {
            Edge edge = slot.edges[k];
            if (edge.node != 0 && slot.nodes[edge.node].state == NodeState::fresh) edge.node = 0;
            if (edge.node != 0) {
                slot.stack.push_back(edge.node);
                slot.spare_nodes.push_back(slot.nodes[edge.node]);
                edge.node = static_cast<std::uint32_t>(slot.spare_nodes.size() - 1);
            }
            slot.spare_edges.push_back(edge);
        }
    }
    std::swap(slot.nodes, slot.spare_nodes);
    std::swap(slot.edges, slot.spare_edges);
    slot.finished = slot.nodes[0].state == NodeState::terminal;
    slot.noised = false;
    slot.has_leaf = false;
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
        const Node& root = slot.nodes[0];
        std::uint32_t kept = 0;
        if (root.state == NodeState::expanded) {
            for (std::uint32_t k = root.first_child; k < root.first_child + root.num_children; ++k)
                if (slot.edges[k].action == actions[i]) kept = slot.edges[k].node;
        }
        play_choice(slot.root, static_cast<std::uint32_t>(actions[i]));
        if (kept != 0 && slot.nodes[kept].state != NodeState::fresh)
            keep_subtree(slot, kept);
        else
            reset_tree(slot);
    });
    return std::nullopt;
}

std::size_t GuidedSearch::nodes() const {
    std::size_t total = 0;
    for (const Slot& slot : slots_) total += slot.nodes.size();
    return total;
}

std::size_t GuidedSearch::bytes() const {
    std::size_t total = 0;
    for (const Slot& slot : slots_)
        total += (slot.nodes.capacity() + slot.spare_nodes.capacity()) * sizeof(Node) +
                 (slot.edges.capacity() + slot.spare_edges.capacity()) * sizeof(Edge);
    return total;
}

}  // namespace krodan
