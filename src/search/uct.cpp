#include "search/uct.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/move_search.hpp"

namespace krodan {
namespace {

constexpr double MIN_SCORE = -89;
constexpr double SCORE_RANGE = 109;

}  // namespace

std::optional<Rollout> rollout_named(std::string_view name) {
    for (std::size_t i = 0; i < ROLLOUT_NAMES.size(); ++i)
        if (ROLLOUT_NAMES[i] == name) return static_cast<Rollout>(i);
    return std::nullopt;
}

std::array<double, NUM_AGENTS> normalised_outcome(const Game& finished, RewardMode mode) {
    const auto outcome = final_outcome(finished, mode);
    if (!outcome) throw InternalError("the outcome of a game in play");
    std::array<double, NUM_AGENTS> values;
    for (unsigned a = 0; a < NUM_AGENTS; ++a)
        values[a] = mode == RewardMode::score ? ((*outcome)[a] - MIN_SCORE) / SCORE_RANGE
                                              : static_cast<double>((*outcome)[a]);
    return values;
}

void play_choice(Game& game, std::uint32_t action) {
    if (apply_action(game, action)) throw InternalError("the search played an illegal action");
    skip_passes(game);
}

void skip_passes(Game& game) {
    while (!is_over(game) && game.agent_states[game.current_agent].done)
        if (apply_action(game, std::nullopt)) throw InternalError("a pass was refused");
}

std::uint32_t UctTree::add_node(const Game& game) {
    Node node;
    node.mover = static_cast<std::uint8_t>(game.current_agent);
    node.terminal = is_over(game);
    nodes_.push_back(node);
    return static_cast<std::uint32_t>(nodes_.size() - 1);
}

void UctTree::expand(std::uint32_t index, const Game& game) {
    const unsigned mover = nodes_[index].mover;
    const AgentMasks masks = agent_masks(game, mover);
    legal_placements(*game.table, masks.blocked, masks.corners, game.agent_states[mover].remaining,
                     scratch_.ids);
    if (scratch_.ids.empty() || scratch_.ids.size() > UINT16_MAX)
        throw InternalError("a node's mover has no legal action or too many");
    Node& node = nodes_[index];
    node.first_child = static_cast<std::uint32_t>(children_.size());
    node.num_children = static_cast<std::uint16_t>(scratch_.ids.size());
    node.expanded = true;
    for (PlacementId id : scratch_.ids)
        children_.push_back(
            {0, static_cast<std::uint16_t>(action_in_frame(*game.table, mover, id))});
}

std::uint32_t UctTree::select(const Node& node) const {
    const double log_visits = std::log(static_cast<double>(node.visits));
    std::uint32_t best = node.first_child;
    double best_value = -1;
    for (std::uint32_t k = node.first_child; k < node.first_child + node.num_children; ++k) {
        const Node& child = nodes_[children_[k].node];
        const double n = child.visits;
        const double value = child.value[node.mover] / n + c_ * std::sqrt(log_visits / n);
        if (value > best_value) {
            best_value = value;
            best = k;
        }
    }
    return best;
}

void UctTree::rollout(Game& game, const UctOptions& options, Generator& rng) {
    while (!is_over(game)) {
        const auto action = options.rollout == Rollout::greedy
                                ? greedy_action(game, rng, scratch_)
                                : playout_action(game, rng, scratch_);
        if (!action) throw InternalError("a rollout met a done mover");
        play_choice(game, *action);
    }
}

void UctTree::search(const Game& root, std::uint32_t simulations, const UctOptions& options,
                     Generator rng, RootVisits& out) {
    nodes_.clear();
    children_.clear();
    nodes_.reserve(std::size_t{simulations} + 1);
    c_ = options.c;
    add_node(root);
    if (nodes_[0].terminal || root.agent_states[root.current_agent].done)
        throw InternalError("a search from a position without a choice");
    expand(0, root);  // so that a tree given no simulation still knows the root's actions
    for (std::uint32_t s = 0; s < simulations; ++s) {
        Game game = root;
        std::uint32_t at = 0;
        path_.assign(1, 0);
        while (!nodes_[at].terminal) {
            if (!nodes_[at].expanded) expand(at, game);
            Node& node = nodes_[at];
            if (node.tried < node.num_children) {
                // An untried child, drawn among the untried ones, which stay at the end.
                const std::uint32_t first = node.first_child + node.tried;
                const std::uint32_t pick =
                    first + static_cast<std::uint32_t>(rng.below(node.num_children - node.tried));
                std::swap(children_[first], children_[pick]);
                ++node.tried;
                play_choice(game, children_[first].action);
                const std::uint32_t child = add_node(game);
                children_[first].node = child;
                path_.push_back(child);
                at = child;
                break;
            }
            const Child& chosen = children_[select(node)];
            play_choice(game, chosen.action);
            at = chosen.node;
            path_.push_back(at);
        }
        rollout(game, options, rng);
        const auto value = normalised_outcome(game, options.reward_mode);
        for (std::uint32_t k : path_) {
            Node& node = nodes_[k];
            ++node.visits;
            for (unsigned a = 0; a < NUM_AGENTS; ++a) node.value[a] += value[a];
        }
    }

    const Node& top = nodes_[0];
    if (out.actions.empty()) {
        for (std::uint32_t k = top.first_child; k < top.first_child + top.num_children; ++k)
            out.actions.push_back(children_[k].action);
        std::sort(out.actions.begin(), out.actions.end());
        out.visits.assign(out.actions.size(), 0);
    }
    for (std::uint32_t k = top.first_child; k < top.first_child + top.tried; ++k) {
        const auto at = std::lower_bound(out.actions.begin(), out.actions.end(),
                                         static_cast<std::int32_t>(children_[k].action));
        if (at == out.actions.end() || *at != children_[k].action)
            throw InternalError("trees of one root disagree on its actions");
        out.visits[static_cast<std::size_t>(at - out.actions.begin())] +=
            static_cast<std::int32_t>(nodes_[children_[k].node].visits);
    }
    out.nodes = std::max(out.nodes, nodes_.size());
    out.bytes = std::max(out.bytes,
                         nodes_.capacity() * sizeof(Node) + children_.capacity() * sizeof(Child));
}

void UctTree::release() {
    nodes_ = {};
    children_ = {};
}

RootVisits uct_search(const Game& root, const UctOptions& options, std::uint64_t seed,
                      bool parallel, std::span<UctTree> trees) {
    const unsigned count = options.trees;
    if (count == 0 || trees.size() < count) throw InternalError("fewer trees than asked for");
    Game start = root;
    skip_passes(start);
    std::vector<RootVisits> found(count);
    std::vector<std::exception_ptr> failed(count);
    const auto grow = [&](unsigned t) {
        const std::uint32_t share = options.simulations / count + (t < options.simulations % count);
        try {
            trees[t].search(start, share, options, Generator(seed, t), found[t]);
        } catch (...) {
            failed[t] = std::current_exception();
        }
    };
    if (parallel && count > 1) {
        std::vector<std::jthread> threads;
        for (unsigned t = 1; t < count; ++t) threads.emplace_back(grow, t);
        grow(0);
    } else {
        for (unsigned t = 0; t < count; ++t) grow(t);
    }
    for (const auto& failure : failed)
        if (failure) std::rethrow_exception(failure);
    RootVisits total = std::move(found[0]);
    for (unsigned t = 1; t < count; ++t) {
        if (found[t].actions != total.actions)
            throw InternalError("trees of one root disagree on its actions");
        for (std::size_t k = 0; k < total.visits.size(); ++k) total.visits[k] += found[t].visits[k];
        total.nodes = std::max(total.nodes, found[t].nodes);
        total.bytes = std::max(total.bytes, found[t].bytes);
    }
    return total;
}

std::int32_t most_visited(const RootVisits& visits) {
    if (visits.actions.empty()) throw InternalError("no root action");
    std::size_t best = 0;
    for (std::size_t k = 1; k < visits.visits.size(); ++k)
        if (visits.visits[k] > visits.visits[best]) best = k;
    return visits.actions[best];
}

}  // namespace krodan
