#pragma once
// Scores and outcomes: pure functions of a Game. A score is minus the cells still in hand, or 15
// once all 21 pieces are placed (20 when the last placement was the one-cell piece "I1").

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "game/game.hpp"

namespace krodan {

using Scores = std::array<std::int16_t, NUM_AGENTS>;
// Final values per agent, in single precision.
using Outcome = std::array<float, NUM_AGENTS>;

enum class RewardMode : std::uint8_t { score = 0, win_share = 1, rank = 2 };

inline constexpr std::array<std::string_view, 3> REWARD_MODE_NAMES = {"score", "win_share", "rank"};
inline constexpr std::string_view UNKNOWN_REWARD_MODE = "Unknown reward mode ";

inline constexpr std::int16_t ALL_PLACED_SCORE = 15;
inline constexpr std::int16_t LAST_PIECE_I1_SCORE = 20;
// The range of scores: every cell still in hand, and every piece placed with "I1" last.
inline constexpr std::int16_t LOWEST_SCORE = -static_cast<std::int16_t>(TOTAL_PIECE_CELLS);
inline constexpr std::int16_t HIGHEST_SCORE = LAST_PIECE_I1_SCORE;

// The mode with this exact (case-sensitive) name, or nothing.
std::optional<RewardMode> reward_mode_named(std::string_view name);

// Every agent's score as if the game ended now, agents 0-3.
Scores compute_scores(const Game& game);

// The outcome of a score vector: the score itself, an equal share of one win among the top
// scores, or the mean place value (1, 2/3, 1/3, 0) of the places a tie group occupies.
Outcome outcome_values(const Scores& scores, RewardMode mode);

// The outcome once every agent is done, nothing before.
std::optional<Outcome> final_outcome(const Game& game, RewardMode mode);

// The outcome of a finished game mapped to [0, 1], in double precision, for searches that
// average it: scores s as (s - LOWEST_SCORE) / (HIGHEST_SCORE - LOWEST_SCORE), that is
// (s + 89) / 109; the other modes as they are.
std::array<double, NUM_AGENTS> normalised_outcome(const Game& finished, RewardMode mode);

}  // namespace krodan
