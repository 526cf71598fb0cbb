#include "agents/agent.hpp"

#include "agents/agent_kernels.hpp"

namespace krodan {

std::optional<AgentKind> agent_kind_named(std::string_view name) {
    for (std::size_t i = 0; i < AGENT_KIND_NAMES.size(); ++i)
        if (AGENT_KIND_NAMES[i] == name) return static_cast<AgentKind>(i);
    return std::nullopt;
}

void Agent::reserve_streams(std::size_t count) {
    streams_.reserve(count);
    while (streams_.size() < count) streams_.emplace_back(config_.seed, streams_.size());
}

std::optional<RootVisits> Agent::search(const Game& game, std::size_t i, AgentScratch& scratch,
                                        bool parallel) {
    if (config_.kind != AgentKind::mcts) throw InternalError("a search asked of a plain policy");
    if (!mover_in_play(game)) return std::nullopt;
    const unsigned trees = config_.search.trees;
    if (scratch.trees.size() < trees) scratch.trees.resize(trees);
    if (scratch.rollouts.size() < trees) scratch.rollouts.resize(trees);
    // One draw of the stream seeds every tree of this search.
    const std::uint64_t seed = stream(i).next();
    RootVisits found = agent_kernels().uct_search(game, config_.search, seed, parallel,
                                                  scratch.trees, config_.rollout, scratch.rollouts);
    // The trees' memory goes with the search.
    for (UctTree& tree : scratch.trees) tree.release();
    return found;
}

std::optional<std::uint32_t> Agent::act(const Game& game, std::size_t i, AgentScratch& scratch,
                                        bool parallel) {
    switch (config_.kind) {
        case AgentKind::random:
            return random_action(game, stream(i), scratch.policy);
        case AgentKind::greedy:
            return greedy_action(game, stream(i), scratch.policy);
        case AgentKind::mcts: {
            const auto found = search(game, i, scratch, parallel);
            if (!found) return std::nullopt;
            return static_cast<std::uint32_t>(most_visited(*found));
        }
    }
    throw InternalError("unknown agent kind");
}

}  // namespace krodan
