#pragma once
// Every agent's legal placements, kept from turn to turn instead of searched anew each turn.
// A placement changes little: for the other agents it only takes away the placements covering
// one of its cells (their pieces, cells and corner cells are otherwise as they were, and no
// cell is freed); for its mover it also takes away the placements of the piece placed and
// those covering a cell along the piece's edges, and brings the placements at the corner cells
// it opened. So an agent's list is brought up to date when it is needed (at its turn), in one
// pass over it for every placement made since, plus a search at the corner cells it opened.
//
// The lists live beside a game, in the batch: the Game record stays a small value. Each is a
// few hundred bytes of sorted action indices, so that the lists of many games stay in the
// caches and come out ascending without a sort.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "game/actions/action_table.hpp"
#include "game/bitboard/bitboard.hpp"
#include "game/game.hpp"

namespace krodan {

class LegalSets {
  public:
    // The lists of `game` searched from scratch (a new game, a game loaded from a state).
    void rebuild(const Game& game);

    // Notes that board-frame placement `id` was played: every list is out of date until
    // settled.
    void placed(const ActionTable& table, PlacementId id);

    // Brings agent a's list up to the game, which must be the game the notes lead to.
    void settle(unsigned a, const Game& game);

    // Agent a's list as last settled: how long it is, its actions appended to `out` in the
    // agent's own frame, ascending (returns how many), and whether it holds an action.
    std::size_t size(unsigned a) const { return agents_[a].actions.size(); }
    std::size_t append_actions(unsigned a, std::vector<std::int32_t>& out) const;
    bool holds(unsigned a, std::uint32_t action) const;

    // The bytes one game's lists hold now.
    std::size_t memory_bytes() const;

  private:
    struct AgentList {
        std::vector<std::uint16_t> actions;  // own frame, ascending
        Bitboard placed_since;               // every cell placed since the last settle
        Bitboard own_then;                   // the agent's own cells at the last settle
        std::uint32_t remaining_then = ALL_PIECES_MASK;
    };
    std::array<AgentList, NUM_AGENTS> agents_;
};

// The lists of a new game, searched once.
const LegalSets& new_game_legal_sets();

}  // namespace krodan
