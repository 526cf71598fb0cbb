#pragma once
// Stored turns replayed: row k is a state string and the action its mover played there. Each
// state is decoded, must be a game in progress whose mover can place a piece, and its action
// must be legal; the game after the action and the passes that follow is written out with its
// mover, whether it is over, and its scores. What a dataset reader checks its rows against.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "game/game.hpp"

namespace krodan {

inline constexpr std::string_view GAME_IS_OVER = "the game is over";
inline constexpr std::string_view MOVER_IS_DONE = "the agent to move is done";

struct ReplayOutput {
    std::span<std::uint8_t> after;   // STATE_SIZE bytes per row: the state after the turn
    std::span<std::int8_t> movers;   // the state's agent to move, before the turn
    std::span<std::uint8_t> over;    // 1 where the turn ended the game
    std::span<std::int16_t> scores;  // NUM_AGENTS per row: the scores after the turn
};

struct RowRefusal {
    std::size_t row;
    std::string_view reason;
};

// Replays `actions.size()` rows; the first row refused (its state, or its action) and why,
// or nothing. Rows before a refused one are written.
std::optional<RowRefusal> replay_rows(std::span<const std::uint8_t> states,
                                      std::span<const std::int64_t> actions,
                                      const ReplayOutput& out);

}  // namespace krodan
