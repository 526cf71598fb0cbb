// Arbitrary calls on a batch of three games stepped by two threads: steps with legal and
// arbitrary actions, resets with masks, state strings of arbitrary bytes. After every call each
// game's arrays must describe it: the legal list is exactly the mover's mask, the dense mask row
// holds that list and nothing else, and a refused call changes no game.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "batch/game_batch.hpp"
#include "fuzz_checks.hpp"

namespace {

using namespace krodan;

constexpr std::size_t GAMES = 3;

void check_views(const GameBatch& batch) {
    const BatchOutputs& out = batch.outputs();
    for (std::size_t i = 0; i < GAMES; ++i) {
        const Game& game = batch.game(i);
        const unsigned mover = static_cast<unsigned>(game.current_agent);
        fuzz::require(out.current_agent[i] == static_cast<std::int8_t>(mover));
        std::vector<std::int32_t> want;
        if (!is_over(game)) {
            const auto mask = observation_bytes(game, mover).action_mask;
            for (std::size_t a = 0; a < mask.size(); ++a)
                if (mask[a]) want.push_back(static_cast<std::int32_t>(a));
        }
        const std::int32_t* begin = out.legal_actions.data() + out.legal_offsets[i];
        const std::int32_t* end = out.legal_actions.data() + out.legal_offsets[i + 1];
        fuzz::require(std::equal(want.begin(), want.end(), begin, end));
        const std::uint8_t* row = out.action_mask.data() + i * NUM_ACTIONS;
        fuzz::require(static_cast<std::size_t>(std::count(row, row + NUM_ACTIONS, 1)) ==
                      want.size());
        for (std::int32_t a : want) fuzz::require(row[a] == 1);
        fuzz::require(!is_over(game) || batch.finished(i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GameBatch batch({.num_games = GAMES, .num_threads = 2, .auto_reset = (size % 2) == 0});
    std::vector<std::int32_t> drawn(GAMES);
    std::vector<std::int64_t> actions(GAMES);
    std::size_t at = 0;
    while (at + 4 <= size) {
        const std::uint8_t op = data[at];
        const std::size_t game = data[at + 1] % GAMES;
        std::uint16_t number;
        std::memcpy(&number, data + at + 2, 2);
        at += 4;
        std::vector<StateString> before;
        for (std::size_t i = 0; i < GAMES; ++i) before.push_back(batch.state(i));
        switch (op % 4) {
            case 0:
            case 1: {  // a step: legal actions, one of them replaced by any number
                batch.random_actions(drawn);
                std::copy(drawn.begin(), drawn.end(), actions.begin());
                if (op & 0x10) actions[game] = static_cast<std::int16_t>(number);
                if (const auto refused = batch.step(actions)) {
                    fuzz::require(refused->game == game);
                    for (std::size_t i = 0; i < GAMES; ++i)
                        fuzz::require(batch.state(i) == before[i]);
                }
                break;
            }
            case 2: {  // a reset of the games whose bit is set
                const std::uint8_t restart[GAMES] = {static_cast<std::uint8_t>(number & 1),
                                                     static_cast<std::uint8_t>(number & 2),
                                                     static_cast<std::uint8_t>(number & 4)};
                batch.reset(restart,
                            (op & 0x10) ? std::optional<std::uint64_t>(number) : std::nullopt);
                break;
            }
            default: {  // a state string of the next bytes, refused or taken
                const std::size_t length = std::min<std::size_t>(size - at, STATE_SIZE);
                const std::string_view bytes(reinterpret_cast<const char*>(data + at), length);
                at += length;
                if (batch.set_state(game, bytes)) {
                    for (std::size_t i = 0; i < GAMES; ++i)
                        fuzz::require(batch.state(i) == before[i]);
                }
            }
        }
        fuzz::require(!batch.broken());
        check_views(batch);
    }
    return 0;
}
