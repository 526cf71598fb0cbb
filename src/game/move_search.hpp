#pragma once
// The search for legal placements through the corner buckets: whether an agent can still
// move, the done refresh after every placement, and the list of every legal placement.

#include <cstdint>
#include <vector>

#include "game/actions/action_table.hpp"
#include "game/agent_masks.hpp"
#include "game/game.hpp"

namespace krodan {

// Whether any placement of a piece in `remaining` covers no blocked cell and a corner cell.
bool has_legal_placement(const ActionTable& table, const AgentMasks& masks,
                         std::uint32_t remaining);

// Marks done every agent, in order 0-3, that is not yet done and has no legal placement.
void refresh_done(Game& game);

// The same, right after agent `mover` placed the cells `placed` in a game whose witnesses were
// legal before that placement, `mover_masks` being the mover's masks after it: another agent's
// witness that misses those cells is still legal (its pieces, own cells and corners are
// unchanged, and no new cell blocks it), so only the mover and the agents whose witness was hit
// are examined.
void refresh_done_after_placement(Game& game, unsigned mover, const Bitboard& placed,
                                  const AgentMasks& mover_masks);

// Replaces `out` with every legal placement id exactly once, ordered by the lowest corner cell
// it covers, then piece index, then id. The masks may be in any frame; the ids are of that
// frame.
void legal_placements(const ActionTable& table, const Bitboard& blocked, const Bitboard& corners,
                      std::uint32_t remaining, std::vector<PlacementId>& out);

}  // namespace krodan
