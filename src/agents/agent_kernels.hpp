#pragma once
// The tree search of the built-in agents with its rollouts, built once per instruction set: an
// mcts agent's search goes through agent_kernels().

#include <cstdint>
#include <span>

#include "agents/policies.hpp"
#include "game/game.hpp"
#include "search/uct.hpp"

namespace krodan {

struct AgentKernels {
    // uct_search from `root` whose leaves `policy` plays out, tree t with rollouts[t]'s memory.
    RootVisits (*uct_search)(const Game& root, const UctOptions& options, std::uint64_t seed,
                             bool parallel, std::span<UctTree> trees, RolloutPolicy policy,
                             std::span<PolicyScratch> rollouts);
};

extern "C" const AgentKernels krodan_agent_kernels_baseline;
extern "C" const AgentKernels krodan_agent_kernels_x86_64_v3;
extern "C" const AgentKernels krodan_agent_kernels_x86_64_v4;

// The table of the running instruction set.
const AgentKernels& agent_kernels();

}  // namespace krodan
