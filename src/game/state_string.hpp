#pragma once
// The 278-byte state string: a version byte, then per agent its cells (the 64-byte image of the
// Bitboard), `remaining` (4 bytes, little-endian) and `last_piece`, then the current agent.
// What can be derived (`placed`, `done`) is rebuilt on load.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "game/game.hpp"
#include "game/refusal.hpp"

namespace krodan {

inline constexpr std::uint8_t STATE_VERSION = 1;
inline constexpr std::size_t AGENT_BLOCK_SIZE = BYTE_IMAGE_SIZE + 4 + 1;
inline constexpr std::size_t STATE_SIZE = 1 + NUM_AGENTS * AGENT_BLOCK_SIZE + 1;
static_assert(STATE_SIZE == 278);

inline constexpr std::string_view NOT_A_GAME_STATE =
    "Not a game state written by to_bytes() of this version";

using StateString = std::array<std::uint8_t, STATE_SIZE>;

StateString encode_state(const Game& game);

// A new Game from a state string, or the refusal. Checks only what the layout needs: the
// length, version and current agent, piece codes, cells on the board and the remaining mask.
// Overlapping cells or a `remaining` that does not match the cells are accepted as they are.
std::variant<Game, Refusal> decode_state(std::string_view bytes);

}  // namespace krodan
