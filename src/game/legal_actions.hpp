#pragma once
// An agent's legal actions as action indices of its own frame, in ascending order, appended to
// caller-owned memory: the list form of the action mask, for batches, agents and searches.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "game/actions/action_table.hpp"
#include "game/game.hpp"

namespace krodan {

inline constexpr std::size_t ACTION_WORDS = (NUM_ACTIONS + 63) / 64;

// Memory the ordering reuses, one per thread: once it has grown to what the positions need,
// nothing allocates.
struct LegalActionScratch {
    std::vector<PlacementId> ids;
    // One bit per action, and one bit per word of those that is not zero: the ordering visits
    // only the words it set. All clear between calls.
    std::array<std::uint64_t, ACTION_WORDS> seen{};
    std::array<std::uint64_t, (ACTION_WORDS + 63) / 64> seen_words{};
};

// Appends to `out` the action of every legal placement under the masks, ascending, in the
// frame of the masks or, when `agent` is given, in that agent's frame (the masks then being in
// the board frame: turning the few ids found is cheaper than turning both masks). Returns how
// many it appended.
std::size_t append_legal_actions(const ActionTable& table, const Bitboard& blocked,
                                 const Bitboard& corners, std::uint32_t remaining,
                                 LegalActionScratch& scratch, std::vector<std::int32_t>& out,
                                 std::optional<unsigned> agent = std::nullopt);

// Replaces `out` with the legal actions of the mover of `game`, in its frame, ascending: none
// when the mover is done or the game over.
void mover_legal_actions(const Game& game, LegalActionScratch& scratch,
                         std::vector<std::int32_t>& out);

// The action, in agent a's frame, of board-frame placement `id`: for the placements that
// legal_placements lists, in its order, where no sorted list is needed.
std::uint32_t action_in_frame(const ActionTable& table, unsigned a, PlacementId id);

}  // namespace krodan
