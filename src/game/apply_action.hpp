#pragma once
// One turn: the current agent places a piece by action index in its own frame, or passes when
// it is done.

#include <cstdint>
#include <optional>
#include <string_view>

#include "game/game.hpp"
#include "game/refusal.hpp"

namespace krodan {

inline constexpr std::string_view ACTION_NOT_AVAILABLE = "Action index not available";

// Plays the current agent's turn. A done agent passes whatever `action` is. Otherwise `action`
// must denote a legal placement; the refusal changes nothing and keeps the turn. On success the
// done flags are refreshed and the turn moves on. Returns the refusal, or nothing on success.
[[nodiscard]] std::optional<Refusal> apply_action(Game& game, std::optional<std::uint64_t> action);

}  // namespace krodan
