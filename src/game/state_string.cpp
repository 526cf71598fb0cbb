#include "game/state_string.hpp"

#include <bit>

#include "game/move_search.hpp"

namespace krodan {

StateString encode_state(const Game& game) {
    StateString s{};
    s[0] = STATE_VERSION;
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const AgentState& agent = game.agent_states[a];
        std::uint8_t* block = s.data() + 1 + a * AGENT_BLOCK_SIZE;
        const auto image = byte_image(agent.cells);
        std::copy(image.begin(), image.end(), block);
        for (unsigned i = 0; i < 4; ++i)
            block[BYTE_IMAGE_SIZE + i] = static_cast<std::uint8_t>(agent.remaining >> (8 * i));
        block[BYTE_IMAGE_SIZE + 4] = agent.last_piece;
    }
    s[STATE_SIZE - 1] = static_cast<std::uint8_t>(game.current_agent);
    return s;
}

std::variant<Game, Refusal> decode_state(std::string_view bytes) {
    const Refusal refused{NOT_A_GAME_STATE};
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (bytes.size() != STATE_SIZE || s[0] != STATE_VERSION || s[STATE_SIZE - 1] >= NUM_AGENTS)
        return refused;
    Game game = new_game();
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const std::uint8_t* block = s + 1 + a * AGENT_BLOCK_SIZE;
        AgentState& agent = game.agent_states[a];
        agent.cells = from_byte_image(block);
        agent.remaining = 0;
        for (unsigned i = 0; i < 4; ++i)
            agent.remaining |= std::uint32_t{block[BYTE_IMAGE_SIZE + i]} << (8 * i);
        agent.last_piece = block[BYTE_IMAGE_SIZE + 4];
        if ((agent.last_piece != 0 && !is_piece_code(agent.last_piece)) ||
            difference(agent.cells, BOARD_MASK) != Bitboard{} || agent.remaining > ALL_PIECES_MASK)
            return refused;
        agent.placed = static_cast<std::uint8_t>(NUM_PIECES - std::popcount(agent.remaining));
        agent.done = false;
    }
    game.current_agent = s[STATE_SIZE - 1];
    refresh_done(game);
    return game;
}

}  // namespace krodan
