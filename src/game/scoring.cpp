#include "game/scoring.hpp"

#include "game/internal_error.hpp"

namespace krodan {

std::optional<RewardMode> reward_mode_named(std::string_view name) {
    for (std::size_t i = 0; i < REWARD_MODE_NAMES.size(); ++i)
        if (REWARD_MODE_NAMES[i] == name) return static_cast<RewardMode>(i);
    return std::nullopt;
}

Scores compute_scores(const Game& game) {
    Scores scores{};
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        const AgentState& agent = game.agent_states[a];
        int in_hand = 0;
        for (unsigned i = 0; i < NUM_PIECES; ++i)
            if (agent.remaining >> i & 1) in_hand += static_cast<int>(size(ALL_PIECES[i]));
        if (in_hand != 0) {
            scores[a] = static_cast<std::int16_t>(-in_hand);
        } else {
            scores[a] =
                agent.last_piece == code(Piece::I1) ? LAST_PIECE_I1_SCORE : ALL_PLACED_SCORE;
        }
    }
    return scores;
}

Outcome outcome_values(const Scores& scores, RewardMode mode) {
    Outcome values{};
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        unsigned greater = 0, tied = 0;
        for (std::int16_t other : scores) {
            greater += other > scores[a];
            tied += other == scores[a];
        }
        switch (mode) {
            case RewardMode::score:
                values[a] = static_cast<float>(scores[a]);
                break;
            case RewardMode::win_share:
                values[a] = greater > 0 ? 0.0f : 1.0f / static_cast<float>(tied);
                break;
            case RewardMode::rank: {
                // The tie group occupies places greater .. greater + tied - 1; place k is worth
                // (3 - k) / 3. Summed in increasing k, in single precision.
                float sum = 0.0f;
                for (unsigned k = greater; k < greater + tied; ++k)
                    sum += static_cast<float>(3 - static_cast<int>(k)) / 3.0f;
                values[a] = sum / static_cast<float>(tied);
                break;
            }
        }
    }
    return values;
}

std::optional<Outcome> final_outcome(const Game& game, RewardMode mode) {
    if (!is_over(game)) return std::nullopt;
    return outcome_values(compute_scores(game), mode);
}

std::array<double, NUM_AGENTS> normalised_outcome(const Game& finished, RewardMode mode) {
    const auto outcome = final_outcome(finished, mode);
    if (!outcome) throw InternalError("the outcome of a game in play");
    constexpr double range = HIGHEST_SCORE - LOWEST_SCORE;
    std::array<double, NUM_AGENTS> values;
    for (unsigned a = 0; a < NUM_AGENTS; ++a)
        values[a] = mode == RewardMode::score ? ((*outcome)[a] - double{LOWEST_SCORE}) / range
                                              : static_cast<double>((*outcome)[a]);
    return values;
}

}  // namespace krodan
