#include "game/apply_action.hpp"

#include "game/agent_masks.hpp"
#include "game/move_search.hpp"

namespace krodan {

std::optional<Refusal> apply_action(Game& game, std::optional<std::uint64_t> action) {
    const std::uint64_t a = game.current_agent;
    if (a >= NUM_AGENTS) throw InternalError("current agent out of range");
    const std::uint64_t next = (a + 1) % NUM_AGENTS;
    AgentState& agent = game.agent_states[a];
    if (agent.done) {
        game.current_agent = next;
        return std::nullopt;
    }

    const Placement* placement =
        action ? game.table->lookup(static_cast<unsigned>(a), *action) : nullptr;
    if (placement == nullptr) return Refusal{ACTION_NOT_AVAILABLE};
    const unsigned piece = piece_index_of_code(placement->piece);
    const AgentMasks masks = agent_masks(game, static_cast<unsigned>(a));
    if ((agent.remaining >> piece & 1) == 0 || intersects(placement->cells, masks.blocked) ||
        !intersects(placement->cells, masks.corners))
        return Refusal{ACTION_NOT_AVAILABLE};

    agent.cells |= placement->cells;
    agent.placed += 1;
    agent.remaining &= ~(std::uint32_t{1} << piece);
    agent.last_piece = placement->piece;
    refresh_done_after_placement(game, static_cast<unsigned>(a), placement->cells,
                                 masks_after_placement(masks, placement->cells));
    game.current_agent = next;
    return std::nullopt;
}

}  // namespace krodan
