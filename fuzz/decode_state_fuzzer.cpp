// Any bytes given to the state decoder: it accepts exactly the strings that follow the layout
// (and nothing stricter), never crashes, and what it accepts encodes back to the same bytes and
// plays on under the ordinary rules.

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_checks.hpp"
#include "game/state_string.hpp"

namespace {

using namespace krodan;

// The layout rules, checked independently of the decoder.
bool follows_layout(const std::uint8_t* s, std::size_t size) {
    if (size != STATE_SIZE || s[0] != 1 || s[STATE_SIZE - 1] >= 4) return false;
    for (unsigned a = 0; a < 4; ++a) {
        const std::uint8_t* block = s + 1 + 69 * a;
        const Bitboard cells = from_byte_image(block);
        if (difference(cells, BOARD_MASK) != Bitboard{}) return false;
        std::uint32_t remaining;
        std::memcpy(&remaining, block + 64, 4);
        if (remaining > 0x1FFFFF) return false;
        if (block[68] != 0 && !is_piece_code(block[68])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = decode_state({reinterpret_cast<const char*>(data), size});
    const bool accepted = std::holds_alternative<Game>(decoded);
    if (accepted != follows_layout(data, size)) std::abort();
    if (!accepted) {
        if (std::get<Refusal>(decoded).message != NOT_A_GAME_STATE) std::abort();
        return 0;
    }
    Game game = std::get<Game>(decoded);
    const StateString again = encode_state(game);
    if (std::memcmp(again.data(), data, STATE_SIZE) != 0) std::abort();
    for (const AgentState& agent : game.agent_states)
        if (agent.placed != 21 - std::popcount(agent.remaining)) std::abort();
    // Play on: the first legal action of each agent to move, checked against the rules.
    for (unsigned turn = 0; turn < 12 && !is_over(game); ++turn) {
        const auto mask_action = fuzz::first_legal_action(game);
        fuzz::check_step(game, mask_action);
    }
    return 0;
}
