#include "game/replay.hpp"

#include <algorithm>
#include <variant>

#include "game/apply_action.hpp"
#include "game/internal_error.hpp"
#include "game/passes.hpp"
#include "game/scoring.hpp"
#include "game/state_string.hpp"

namespace krodan {

std::optional<RowRefusal> replay_rows(std::span<const std::uint8_t> states,
                                      std::span<const std::int64_t> actions,
                                      const ReplayOutput& out) {
    const std::size_t rows = actions.size();
    if (states.size() != rows * STATE_SIZE || out.after.size() != rows * STATE_SIZE ||
        out.movers.size() != rows || out.over.size() != rows ||
        out.scores.size() != rows * NUM_AGENTS)
        throw InternalError("replay_rows takes one state, action and output per row");
    for (std::size_t k = 0; k < rows; ++k) {
        const std::string_view bytes(reinterpret_cast<const char*>(states.data() + k * STATE_SIZE),
                                     STATE_SIZE);
        auto decoded = decode_state(bytes);
        if (const Refusal* refused = std::get_if<Refusal>(&decoded))
            return RowRefusal{k, refused->message};
        Game& game = std::get<Game>(decoded);
        if (is_over(game)) return RowRefusal{k, GAME_IS_OVER};
        if (game.agent_states[game.current_agent].done) return RowRefusal{k, MOVER_IS_DONE};
        out.movers[k] = static_cast<std::int8_t>(game.current_agent);
        if (actions[k] < 0) return RowRefusal{k, ACTION_NOT_AVAILABLE};
        if (const auto refused = apply_action(game, static_cast<std::uint64_t>(actions[k])))
            return RowRefusal{k, refused->message};
        skip_passes(game);
        const StateString after = encode_state(game);
        std::copy(after.begin(), after.end(), out.after.begin() + k * STATE_SIZE);
        out.over[k] = is_over(game) ? 1 : 0;
        const Scores scores = compute_scores(game);
        for (unsigned a = 0; a < NUM_AGENTS; ++a)
            out.scores[k * NUM_AGENTS + a] = static_cast<std::int16_t>(scores[a]);
    }
    return std::nullopt;
}

}  // namespace krodan
