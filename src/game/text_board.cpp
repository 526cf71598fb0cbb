#include "game/text_board.hpp"

#include <cstdio>

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

std::string render_text(const Game& game) {
    const std::string rule(LINE_WIDTH, '-');
    std::string text;
    text.reserve(4263 + 9 * NUM_CELLS);
    text += "  | ";
    for (unsigned col = 0; col < BOARD_COLS; ++col) {
        if (col > 0) text += " | ";
        text += label(col);
    }
    text += " |\n" + rule + "\n" + label(0);
    // Bit 419, the last guard bit, is not visited: row 19 closes after the loop.
    for (unsigned bit = 0; bit + 1 < BOARD_BITS; ++bit) {
        if (is_guard_bit(bit)) {
            text += "|\n" + rule + "\n" + label(row_of(bit) + 1);
            continue;
        }
        const char* colour = nullptr;
        for (unsigned a = 0; a < NUM_AGENTS && colour == nullptr; ++a)
            if (game.agent_states[a].cells.test(bit)) colour = AGENT_COLOURS[a];
        if (colour == nullptr) {
            text += "|  . ";
        } else {
            text += "|  \x1b[";
            text += colour;
            text += "mx\x1b[0m ";
        }
    }
    text += "|";
    return text;
}

}  // namespace krodan
