#include <gtest/gtest.h>

#include <cstdio>

#include "game/state_string.hpp"
#include "game/text_board.hpp"
#include "play.hpp"

namespace krodan {
namespace {

std::string_view view(const StateString& s) {
    return {reinterpret_cast<const char*>(s.data()), s.size()};
}

StateString new_game_string() {
    StateString s{};
    s[0] = 1;
    for (unsigned a = 0; a < 4; ++a) {
        std::uint8_t* block = s.data() + 1 + 69 * a;
        block[64] = 0xFF;
        block[65] = 0xFF;
        block[66] = 0x1F;
    }
    return s;
}

bool refused(std::string_view bytes) {
    const auto decoded = decode_state(bytes);
    return std::holds_alternative<Refusal>(decoded) &&
           std::get<Refusal>(decoded).message == NOT_A_GAME_STATE;
}

TEST(StateString, NewGameByteForByte) {
    EXPECT_EQ(encode_state(new_game()), new_game_string());
}

TEST(StateString, FourBytesChangeAfterTheOneCellPiece) {
    Game g = new_game();
    ASSERT_FALSE(apply_action(g, 0));
    StateString expected = new_game_string();
    expected[49] = 0x01;
    expected[65] = 0xFE;
    expected[69] = 0x01;
    expected[277] = 0x01;
    EXPECT_EQ(encode_state(g), expected);
}

TEST(StateString, RejectionCases) {
    const StateString good = new_game_string();
    std::string s(view(good));
    EXPECT_FALSE(refused(s));
    EXPECT_TRUE(refused(s.substr(0, 277)));
    EXPECT_TRUE(refused(s + '\0'));
    EXPECT_TRUE(refused(""));
    auto with = [&](std::size_t at, std::uint8_t value) {
        std::string t = s;
        t[at] = static_cast<char>(value);
        return t;
    };
    EXPECT_TRUE(refused(with(0, 0)));
    EXPECT_TRUE(refused(with(0, 2)));
    EXPECT_TRUE(refused(with(277, 4)));
    EXPECT_TRUE(refused(with(277, 255)));
    EXPECT_TRUE(refused(with(1 + 69 + 68, 4)));    // last_piece 4
    EXPECT_TRUE(refused(with(1 + 69 + 68, 102)));  // last_piece 102
    EXPECT_FALSE(refused(with(1 + 69 + 68, 101)));
    EXPECT_TRUE(refused(with(1 + 48 + 2, 0x10)));  // bit 20: the guard bit of row 0
    EXPECT_TRUE(refused(with(1 + 4, 0x08)));       // bit 419: the guard bit of row 19
    EXPECT_FALSE(refused(with(1 + 4, 0x04)));      // bit 418: cell (19, 19)
    EXPECT_TRUE(refused(with(1 + 4, 0x10)));       // bit 420, beyond the board
    for (std::size_t i = 8; i < 16; ++i) EXPECT_TRUE(refused(with(1 + 2 * 69 + i, 0x01))) << i;
    EXPECT_TRUE(refused(with(1 + 3 * 69 + 66, 0x20)));  // remaining 0x3FFFFF
    EXPECT_TRUE(refused(with(1 + 3 * 69 + 67, 0x01)));
}

TEST(StateString, OddStringsAreAcceptedAsTheyAre) {
    // Agent 1: no cells and no pieces left: placed 21 and done.
    StateString s = new_game_string();
    s[1 + 69 + 64] = s[1 + 69 + 65] = s[1 + 69 + 66] = 0;
    // Agent 2 covers agent 3's start cell (19, 0), bit 399, and the current agent is 3.
    s[1 + 2 * 69 + 1] = 0x80;  // bit 399 = 384 + 8 + 7
    s[277] = 3;
    const auto decoded = decode_state(view(s));
    ASSERT_TRUE(std::holds_alternative<Game>(decoded));
    Game g = std::get<Game>(decoded);
    EXPECT_EQ(g.agent_states[1].placed, 21);
    EXPECT_TRUE(g.agent_states[1].done);
    EXPECT_TRUE(g.agent_states[3].done);
    EXPECT_FALSE(g.agent_states[0].done);
    EXPECT_EQ(ply(g), 21u);
    EXPECT_EQ(encode_state(g), s);
    // The current agent is done: its step is a pass.
    EXPECT_FALSE(apply_action(g, std::nullopt));
    EXPECT_EQ(g.current_agent, 0u);
}

TEST(StateString, RoundTripsOverRandomGames) {
    for (std::uint64_t seed = 40; seed < 50; ++seed) {
        for (const Game& g : testing::random_game(seed)) {
            const StateString s = encode_state(g);
            const auto decoded = decode_state(view(s));
            ASSERT_TRUE(std::holds_alternative<Game>(decoded));
            ASSERT_EQ(std::get<Game>(decoded), g) << "seed " << seed;
            ASSERT_EQ(encode_state(std::get<Game>(decoded)), s);
        }
    }
}

std::size_t count_lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(TextBoard, EmptyBoard) {
    const std::string text = render_text(new_game());
    EXPECT_EQ(text.size(), 4263u);
    EXPECT_EQ(count_lines(text), 41u);
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 | "
              "16 | 17 | 18 | 19 |");
    std::size_t start = 0;
    for (unsigned line = 0; line < 41; ++line) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string row = text.substr(start, end - start);
        EXPECT_EQ(row.size(), 103u) << line;
        if (line % 2 == 1) {
            EXPECT_EQ(row, std::string(103, '-'));
        } else if (line > 0) {
            char label[3];
            std::snprintf(label, sizeof label, "%2u", line / 2 - 1);
            std::string expected = label;
            for (int c = 0; c < 20; ++c) expected += "|  . ";
            EXPECT_EQ(row, expected + "|");
        }
        start = end + 1;
    }
    EXPECT_EQ(text.back(), '|');
}

TEST(TextBoard, CoveredCellsInTheirAgentsColours) {
    Game g = new_game();
    ASSERT_FALSE(apply_action(g, 0));  // agent 0 at (0, 0)
    std::string text = render_text(g);
    EXPECT_EQ(text.size(), 4263u + 9);
    const std::size_t row0 = text.find("\n 0|");
    EXPECT_EQ(text.substr(row0 + 1, 21), " 0|  \x1b[44mx\x1b[0m |  . ");
    ASSERT_FALSE(apply_action(g, 0));  // agent 1 at (0, 19)
    ASSERT_FALSE(apply_action(g, 0));  // agent 2 at (19, 19)
    ASSERT_FALSE(apply_action(g, 0));  // agent 3 at (19, 0)
    text = render_text(g);
    EXPECT_EQ(text.size(), 4263u + 36);
    const std::size_t row19 = text.find("\n19|");
    EXPECT_EQ(text.substr(row19 + 1, 16), "19|  \x1b[42mx\x1b[0m ");
    EXPECT_NE(text.find("\x1b[43mx\x1b[0m |\n"), std::string::npos);  // top right
    EXPECT_EQ(text.substr(text.size() - 15), "|  \x1b[41mx\x1b[0m |");
}

TEST(TextBoard, PlainCellsHoldTheirAgentsDigits) {
    Game g = new_game();
    for (int agent = 0; agent < 4; ++agent) ASSERT_FALSE(apply_action(g, 0));
    const std::string text = render_text(g, false);
    EXPECT_EQ(text.size(), 4263u);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    const std::size_t row0 = text.find("\n 0|");
    EXPECT_EQ(text.substr(row0 + 1, 8), " 0|  0 |");
    EXPECT_NE(text.find("|  1 |\n"), std::string::npos);  // top right
    EXPECT_EQ(text.substr(text.find("\n19|") + 1, 8), "19|  3 |");
    EXPECT_EQ(text.substr(text.size() - 6), "|  2 |");
}

}  // namespace
}  // namespace krodan
