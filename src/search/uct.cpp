#include "search/uct.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "game/agent_masks.hpp"
#include "game/legal_actions.hpp"
#include "game/move_search.hpp"
#include "game/passes.hpp"
#include "search/selection.hpp"

namespace krodan {

void UctTree::expand(std::uint32_t at, const Game& game) {
    // The children stay in the move search's order, unsorted: the draws among the untried
    // ones index into it.
    const unsigned mover = tree_.node(at).mover;
    const AgentMasks masks = agent_masks(game, mover);
    legal_placements(*game.table, masks.blocked, masks.corners, game.agent_states[mover].remaining,
                     ids_);
    tree_.add_children(at, ids_.size(), [&](std::size_t k) {
        return Edge{0, static_cast<std::uint16_t>(action_in_frame(*game.table, mover, ids_[k]))};
    });
}

void UctTree::search(const Game& root, std::uint32_t simulations, const UctOptions& options,
                     Generator rng, Rollout rollout, unsigned index) {
    tree_.reserve(std::size_t{simulations} + 1);
    tree_.reset(root);
    if (tree_.node(0).state == NodeState::terminal || root.agent_states[root.current_agent].done)
        throw InternalError("a search from a position without a choice");
    const auto choose = [&](std::uint32_t at, const Game& game) -> std::uint32_t {
        if (tree_.node(at).state == NodeState::fresh) expand(at, game);
        Node& node = tree_.node(at);
        if (node.tried == node.num_children) return uct_child(tree_, node, options.c);
        // An untried child, drawn among the untried ones, which stay at the end.
        const std::uint32_t first = node.first_child + node.tried;
        const std::uint32_t pick =
            first + static_cast<std::uint32_t>(rng.below(node.num_children - node.tried));
        std::swap(tree_.edge(first), tree_.edge(pick));
        ++node.tried;
        return first;
    };
    for (std::uint32_t s = 0; s < simulations; ++s) {
        Game game = root;
        tree_.descend(game, choose);
        rollout(index, game, rng);
        tree_.back_up(normalised_outcome(game, options.reward_mode));
    }
}

void UctTree::add_root_visits(std::span<const std::int32_t> actions,
                              std::span<std::int32_t> visits) const {
    const Node& top = tree_.node(0);
    for (std::uint32_t k = top.first_child; k < top.first_child + top.tried; ++k) {
        const std::int32_t action = tree_.edge(k).action;
        const auto at = std::lower_bound(actions.begin(), actions.end(), action);
        if (at == actions.end() || *at != action)
            throw InternalError("a root child outside the mover's legal actions");
        visits[static_cast<std::size_t>(at - actions.begin())] +=
            static_cast<std::int32_t>(tree_.edge_visits(k));
    }
}

void UctTree::release() {
    tree_.release();
    ids_ = {};
}

RootVisits uct_search(const Game& root, const UctOptions& options, std::uint64_t seed,
                      bool parallel, std::span<UctTree> trees, Rollout rollout) {
    const unsigned count = options.trees;
    if (count == 0 || trees.size() < count) throw InternalError("fewer trees than asked for");
    Game start = root;
    skip_passes(start);
    RootVisits total;
    LegalActionScratch scratch;
    mover_legal_actions(start, scratch, total.actions);
    total.visits.assign(total.actions.size(), 0);
    std::vector<std::exception_ptr> failed(count);
    const auto grow = [&](unsigned t) {
        const std::uint32_t share = options.simulations / count + (t < options.simulations % count);
        try {
            trees[t].search(start, share, options, Generator(seed, t), rollout, t);
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
    for (unsigned t = 0; t < count; ++t) {
        trees[t].add_root_visits(total.actions, total.visits);
        total.nodes = std::max(total.nodes, trees[t].nodes());
        total.bytes = std::max(total.bytes, trees[t].bytes());
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
