// Two games with their kept legal lists, driven by the input: moves, lists settled now and
// then, copies of one game over the other, and games reloaded from their state strings. Every
// list settled must equal a search from scratch in its agent's frame.

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_checks.hpp"
#include "game/agent_masks.hpp"
#include "game/legal_actions.hpp"
#include "game/legal_sets.hpp"
#include "game/state_string.hpp"

namespace {

using namespace krodan;

struct Tracked {
    Game game = new_game();
    LegalSets sets;
};

LegalActionScratch scratch;

void check_settled(Tracked& t, unsigned a) {
    t.sets.settle(a, t.game);
    std::vector<std::int32_t> expected, kept;
    if (!t.game.agent_states[a].done) {
        const AgentMasks masks = agent_masks(t.game, a);
        append_legal_actions(*t.game.table, masks.blocked, masks.corners,
                             t.game.agent_states[a].remaining, scratch, expected, a);
    }
    t.sets.append_actions(a, kept);
    fuzz::require(kept == expected);
}

// Plays the k-th legal action of the mover (by its settled list), or its pass.
void move(Tracked& t, std::uint16_t k) {
    if (is_over(t.game)) return;
    const auto mover = static_cast<unsigned>(t.game.current_agent);
    if (t.game.agent_states[mover].done) {
        fuzz::require(!apply_action(t.game, std::nullopt));
        return;
    }
    check_settled(t, mover);
    std::vector<std::int32_t> legal;
    t.sets.append_actions(mover, legal);
    fuzz::require(!legal.empty());
    const auto action = static_cast<std::uint64_t>(legal[k % legal.size()]);
    const Placement* placement = t.game.table->lookup(mover, action);
    fuzz::require(placement != nullptr && !apply_action(t.game, action));
    t.sets.placed(*t.game.table,
                  static_cast<PlacementId>(placement - t.game.table->placements.data()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<Tracked, 2> games;
    for (Tracked& t : games) t.sets.rebuild(t.game);
    // Three bytes per step: a selector (operation and game), then a 16-bit number.
    for (std::size_t at = 0; at + 3 <= size; at += 3) {
        std::uint16_t number;
        std::memcpy(&number, data + at + 1, 2);
        Tracked& t = games[data[at] & 1];
        switch (data[at] / 2 % 6) {
            case 0:
            case 1:
            case 2:
                move(t, number);
                break;
            case 3:
                check_settled(t, number % NUM_AGENTS);
                break;
            case 4:
                games[(data[at] & 1) ^ 1] = t;  // a copy goes its own way from here
                break;
            default: {
                const StateString state = encode_state(t.game);
                const auto decoded =
                    decode_state({reinterpret_cast<const char*>(state.data()), state.size()});
                fuzz::require(std::holds_alternative<Game>(decoded));
                t.game = std::get<Game>(decoded);
                t.sets.rebuild(t.game);
            }
        }
    }
    for (Tracked& t : games)
        for (unsigned a = 0; a < NUM_AGENTS; ++a) check_settled(t, a);
    return 0;
}
