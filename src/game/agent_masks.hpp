#pragma once
// The two masks that carry the placement rule for one agent: `blocked`, the cells its pieces
// may never cover (any covered cell, and cells edge-adjacent to its own), and `corners`, the
// cells its next piece can attach to (its start cell before its first piece, afterwards the
// free cells diagonally next to its own).

#include <array>

#include "game/bitboard/bitboard.hpp"
#include "game/game.hpp"

namespace krodan {

struct AgentMasks {
    Bitboard blocked;
    Bitboard corners;
};

// Start cells in turn order, clockwise from the top-left: (0, 0), (0, 19), (19, 19), (19, 0).
inline constexpr std::array<Bitboard, NUM_AGENTS> START_CELLS = {
    single_cell(bit_index(0, 0)), single_cell(bit_index(0, BOARD_COLS - 1)),
    single_cell(bit_index(BOARD_ROWS - 1, BOARD_COLS - 1)),
    single_cell(bit_index(BOARD_ROWS - 1, 0))};

// The masks of an agent whose cells are `own`, with `occupied` the cells of all agents and
// `start` its start cell, all in one frame.
constexpr AgentMasks masks_for(const Bitboard& own, const Bitboard& occupied,
                               const Bitboard& start) {
    AgentMasks m;
    m.blocked = occupied | own | edge_neighbours(own);
    const Bitboard attach = is_empty(own) ? start : own | diagonal_neighbours(own);
    m.corners = difference(attach, m.blocked);
    return m;
}

// An agent's masks after it places the cells `placed`, from its masks before: the new cells and
// their edge neighbours join `blocked`, their diagonal neighbours join `corners`. Equal to
// agent_masks of the game after the placement.
constexpr AgentMasks masks_after_placement(const AgentMasks& before, const Bitboard& placed) {
    AgentMasks m;
    m.blocked = before.blocked | placed | edge_neighbours(placed);
    m.corners = difference(before.corners | diagonal_neighbours(placed), m.blocked);
    return m;
}

// The cells covered by any agent.
constexpr Bitboard occupied_cells(const Game& game) {
    Bitboard occupied;
    for (const AgentState& agent : game.agent_states) occupied |= agent.cells;
    return occupied;
}

// The masks of agent a (0-3) in the board frame.
inline AgentMasks agent_masks(const Game& game, unsigned a) {
    if (a >= NUM_AGENTS) throw InternalError("agent index out of range");
    return masks_for(game.agent_states[a].cells, occupied_cells(game), START_CELLS[a]);
}

}  // namespace krodan
