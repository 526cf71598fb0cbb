#pragma once
// A built-in agent: a policy (random, greedy or tree search) with its configuration and its
// random streams. Stream i is Generator(seed, i) when first used and goes on from there; the
// agent plays game i of a batch from stream i, and a single game from stream 0, so what it
// plays never depends on which thread asks.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "agents/policies.hpp"
#include "game/game.hpp"
#include "random/generator.hpp"
#include "search/uct.hpp"

namespace krodan {

enum class AgentKind : std::uint8_t { random = 0, greedy = 1, mcts = 2 };

inline constexpr std::array<std::string_view, 3> AGENT_KIND_NAMES = {"random", "greedy", "mcts"};

// The kind of this exact name, or nothing.
std::optional<AgentKind> agent_kind_named(std::string_view name);

struct AgentConfig {
    AgentKind kind = AgentKind::random;
    std::uint64_t seed = 0;
    UctOptions search;                              // the tree search's, for mcts
    RolloutPolicy rollout = RolloutPolicy::random;  // how its leaves are played out
};

// Memory one thread's decisions reuse.
struct AgentScratch {
    PolicyScratch policy;
    std::vector<UctTree> trees;
    std::vector<PolicyScratch> rollouts;  // one per tree
};

class Agent {
  public:
    explicit Agent(const AgentConfig& config) : config_(config) {}

    const AgentConfig& config() const { return config_; }

    // Makes streams 0 .. count-1 exist, so that threads may then use them at once.
    void reserve_streams(std::size_t count);
    std::size_t num_streams() const { return streams_.size(); }
    Generator& stream(std::size_t i) { return streams_.at(i); }
    const std::vector<Generator>& streams() const { return streams_; }
    void set_streams(std::vector<Generator> streams) { streams_ = std::move(streams); }

    // The action for the mover of `game` from stream i (which must exist), nothing when the
    // mover is done. A search grows its trees on threads of their own when `parallel`.
    std::optional<std::uint32_t> act(const Game& game, std::size_t i, AgentScratch& scratch,
                                     bool parallel = false);

    // The tree search's root visits for the mover of `game`, nothing when it is done; only for
    // an mcts agent.
    std::optional<RootVisits> search(const Game& game, std::size_t i, AgentScratch& scratch,
                                     bool parallel);

  private:
    AgentConfig config_;
    std::vector<Generator> streams_;
};

}  // namespace krodan
