#include "game/legal_actions.hpp"

#include <bit>

#include "game/agent_masks.hpp"
#include "game/move_search.hpp"

namespace krodan {

std::size_t append_legal_actions(const ActionTable& table, const Bitboard& blocked,
                                 const Bitboard& corners, std::uint32_t remaining,
                                 LegalActionScratch& scratch, std::vector<std::int32_t>& out,
                                 std::optional<unsigned> agent) {
    legal_placements(table, blocked, corners, remaining, scratch.ids);
    if (agent && *agent >= NUM_AGENTS) throw InternalError("agent index out of range");
    // The ids' actions in agent a's frame, or in the masks' own frame (agent 0's table is the
    // identity turn).
    const std::uint16_t* actions = table.frame_actions[agent.value_or(0)].data();
    // The search lists placements by corner cell; setting a bit per action and reading the
    // bits back in order sorts them, cheaper than comparing a few hundred entries.
    for (PlacementId id : scratch.ids) {
        if (id >= table.placement_actions.size()) throw InternalError("placement id out of range");
        const unsigned action = actions[id];
        scratch.seen[action / 64] |= std::uint64_t{1} << (action % 64);
        scratch.seen_words[action / 4096] |= std::uint64_t{1} << (action / 64 % 64);
    }
    const std::size_t first = out.size();
    out.resize(first + scratch.ids.size());
    std::int32_t* next = out.data() + first;
    for (std::size_t s = 0; s < scratch.seen_words.size(); ++s) {
        for (std::uint64_t words = scratch.seen_words[s]; words != 0; words &= words - 1) {
            const std::size_t w = s * 64 + static_cast<unsigned>(std::countr_zero(words));
            for (std::uint64_t bits = scratch.seen[w]; bits != 0; bits &= bits - 1)
                *next++ = static_cast<std::int32_t>(w * 64 + std::countr_zero(bits));
            scratch.seen[w] = 0;
        }
        scratch.seen_words[s] = 0;
    }
    if (next != out.data() + out.size()) throw InternalError("a placement listed twice");
    return scratch.ids.size();
}

void mover_legal_actions(const Game& game, LegalActionScratch& scratch,
                         std::vector<std::int32_t>& out) {
    out.clear();
    const auto mover = static_cast<unsigned>(game.current_agent);
    if (mover >= NUM_AGENTS) throw InternalError("current agent out of range");
    if (game.agent_states[mover].done) return;
    const AgentMasks masks = agent_masks(game, mover);
    append_legal_actions(*game.table, masks.blocked, masks.corners,
                         game.agent_states[mover].remaining, scratch, out, mover);
}

std::uint32_t action_in_frame(const ActionTable& table, unsigned a, PlacementId id) {
    if (a >= NUM_AGENTS || id >= table.frame_actions[a].size())
        throw InternalError("placement id out of range");
    return table.frame_actions[a][id];
}

}  // namespace krodan
