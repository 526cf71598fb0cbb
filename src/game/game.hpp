#pragma once
// The Game record: the whole mutable state of one game, a plain fixed-size value that is
// copied whole. The ActionTable it refers to is shared and immutable.

#include <array>
#include <cstdint>

#include "game/actions/action_table.hpp"
#include "game/bitboard/bitboard.hpp"
#include "game/pieces/piece.hpp"

namespace krodan {

// No witness: the next done refresh searches.
inline constexpr PlacementId NO_WITNESS = 0xFFFF;

struct AgentState {
    Bitboard cells;                             // covered cells, never a guard or beyond-board bit
    std::uint32_t remaining = ALL_PIECES_MASK;  // bit i: piece index i not yet placed
    std::uint8_t placed = 0;                    // pieces placed, 21 - popcount(remaining) in play
    std::uint8_t last_piece = 0;                // code of the latest placement, 0 before the first
    bool done = false;                          // no legal placement left; never cleared in play
    // A cache, not part of the state: a placement (board frame) that the last done refresh found
    // legal for this agent. The next refresh skips the search while it stays legal.
    PlacementId witness = NO_WITNESS;

    // The state proper: the witness is left out.
    bool operator==(const AgentState& o) const {
        return cells == o.cells && remaining == o.remaining && placed == o.placed &&
               last_piece == o.last_piece && done == o.done;
    }
};

struct Game {
    std::array<AgentState, NUM_AGENTS> agent_states{};
    const ActionTable* table = nullptr;
    std::uint64_t current_agent = 0;  // may name an agent that is done
    std::uint64_t num_agents = NUM_AGENTS;
    bool operator==(const Game&) const = default;
};

// The initial state; builds the ActionTable on first use.
Game new_game();

// The number of placements made so far by all agents; passes do not count.
unsigned ply(const Game& game);

// True when every agent is done.
bool is_over(const Game& game);

}  // namespace krodan
