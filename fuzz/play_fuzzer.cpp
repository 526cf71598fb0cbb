// Arbitrary action sequences from a new game, out-of-range indices and absent actions included,
// against the invariants of play: the engine accepts exactly the actions of the mover's mask,
// refusals change nothing, done flags stay set, cells stay disjoint and on the board, and
// `placed` follows `remaining`.

#include <bit>
#include <cstdint>
#include <cstring>

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace krodan;
    Game game = new_game();
    // Three bytes per step: a selector, then a 16-bit number.
    for (std::size_t at = 0; at + 3 <= size; at += 3) {
        std::uint16_t number;
        std::memcpy(&number, data + at + 1, 2);
        std::optional<std::uint64_t> action;
        switch (data[at] % 8) {
            case 0:
                action = std::nullopt;  // absent
                break;
            case 1:
                action = NUM_ACTIONS + number;  // beyond the grid
                break;
            case 2:
                action = ~std::uint64_t{0} - number;
                break;
            case 3:  // a legal action when there is one: games get deep
            case 4:
                action = fuzz::first_legal_action(game);
                if (action) {
                    // Prefer a later legal action picked by the number.
                    const auto mask =
                        observation_bytes(game, static_cast<unsigned>(game.current_agent))
                            .action_mask;
                    for (std::uint64_t i = 0; i < mask.size(); ++i) {
                        const std::uint64_t candidate = (number * 7ull + i) % mask.size();
                        if (mask[candidate]) {
                            action = candidate;
                            break;
                        }
                    }
                }
                break;
            default:
                action = number % NUM_ACTIONS;  // any index of the grid
        }
        fuzz::check_step(game, action);
        for (const AgentState& agent : game.agent_states)
            fuzz::require(agent.placed == 21 - std::popcount(agent.remaining));
    }
    return 0;
}
