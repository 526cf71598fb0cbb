#include "game/text_board.hpp"

#include <cstdio>

#include "game/owner_grid.hpp"

namespace krodan {
namespace {

constexpr std::size_t LINE_WIDTH = 103;

// The row or column number right-aligned in two characters.
std::string label(unsigned n) {
    char text[3];
    std::snprintf(text, sizeof text, "%2u", n);
    return text;
}

}  // namespace

std::string render_text(const Game& game, bool colour) {
    const std::string rule(LINE_WIDTH, '-');
    std::string text;
    text.reserve(4263 + 9 * NUM_CELLS);
    text += "  | ";
    for (unsigned col = 0; col < BOARD_COLS; ++col) {
        if (col > 0) text += " | ";
        text += label(col);
    }
    text += " |";
    const OwnerGrid owners = owner_grid(game);
    for (unsigned row = 0; row < BOARD_ROWS; ++row) {
        text += "\n" + rule + "\n" + label(row);
        for (unsigned col = 0; col < BOARD_COLS; ++col) {
            const std::uint8_t owner = owners[row * BOARD_COLS + col];
            if (owner == NO_OWNER) {
                text += "|  . ";
            } else if (!colour) {
                text += "|  ";
                text += static_cast<char>('0' + owner);
                text += ' ';
            } else {
                text += "|  \x1b[";
                text += AGENT_COLOURS[owner];
                text += "mx\x1b[0m ";
            }
        }
        text += "|";
    }
    return text;
}

}  // namespace krodan
