#pragma once
// The board as text for a person: 41 lines (a header of column labels, then a rule line before
// each row), each covered cell drawn in its agent's background colour with ANSI escapes, or
// marked with its agent's digit where the text goes somewhere escapes would show.

#include <array>
#include <string>

#include "game/game.hpp"

namespace krodan {

// Background colour codes of agents 0-3: blue, yellow, red, green.
inline constexpr std::array<const char*, NUM_AGENTS> AGENT_COLOURS = {"44", "43", "41", "42"};

// The text, without a final line feed: 4263 characters for an empty board, 9 more per covered
// cell in colour; without `colour`, always 4263 characters, a covered cell holding its agent's
// digit (0-3) where an empty one holds ".".
std::string render_text(const Game& game, bool colour = true);

}  // namespace krodan
