#include "agents/agent_kernels.hpp"

#include "game/isa/instruction_set.hpp"
#include "game/isa/kernel_variant.hpp"

namespace krodan {
namespace {

RootVisits search_with_rollouts(const Game& root, const UctOptions& options, std::uint64_t seed,
                                bool parallel, std::span<UctTree> trees, RolloutPolicy policy,
                                std::span<PolicyScratch> rollouts) {
    if (rollouts.size() < options.trees) throw InternalError("fewer rollout scratches than trees");
    const auto rollout = [&](unsigned t, Game& leaf, Generator& rng) {
        play_out(leaf, policy, rng, rollouts[t]);
    };
    return uct_search(root, options, seed, parallel, trees, rollout);
}

}  // namespace

extern "C" const AgentKernels KRODAN_VARIANT_KERNELS(krodan_agent_kernels) = {
    .uct_search = &search_with_rollouts,
};

#if defined(KRODAN_ISA_BASELINE_COMPILATION)
const AgentKernels& agent_kernels() {
    static const AgentKernels& chosen = KRODAN_RUNNING_KERNELS(krodan_agent_kernels);
    return chosen;
}
#endif

}  // namespace krodan
