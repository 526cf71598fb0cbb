// The per-game work of a batch's calls, built once per instruction set (see
// game/isa/kernel_variant.hpp): playing a game's action and the passes after it, and writing its
// views and legal list. GameBatch::run calls it chunk by chunk through batch_kernels().

#include <algorithm>
#include <cstdint>

#include "batch/batch_kernels.hpp"
#include "batch/game_batch.hpp"
#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/checks.hpp"
#include "game/isa/instruction_set.hpp"
#include "game/isa/kernel_variant.hpp"
#include "game/passes.hpp"

namespace krodan {

void run_batch_chunk(GameBatch& batch, std::size_t chunk, std::span<const std::int64_t> actions,
                     unsigned thread, const GameBatch::NextMove* next) {
    std::vector<std::int32_t>& list = batch.chunk_lists_[chunk].actions;
    list.clear();
    const std::size_t end = std::min(batch.size(), (chunk + 1) * batch.chunk_size_);
    for (std::size_t i = chunk * batch.chunk_size_; i < end; ++i)
        batch.run_game(i, actions.empty() ? -1 : actions[i], list, thread, next);
}

extern "C" const BatchKernels KRODAN_VARIANT_KERNELS(krodan_batch_kernels) = {
    .run_chunk = &run_batch_chunk,
};

#if defined(KRODAN_ISA_BASELINE_COMPILATION)
const BatchKernels& batch_kernels() {
    static const BatchKernels& chosen = KRODAN_RUNNING_KERNELS(krodan_batch_kernels);
    return chosen;
}
#endif

void GameBatch::run_game(std::size_t i, std::int64_t action, std::vector<std::int32_t>& list,
                         unsigned thread, const NextMove* next) {
    const Work work = work_[i];
    if (work != Work::keep) {
        out_.mover[i] = -1;
        out_.terminated[i] = finished(i);  // a finished game stays terminated, rewarded once
        std::fill_n(out_.rewards.data() + i * NUM_AGENTS, NUM_AGENTS, 0.0f);
        // A finished game (without automatic resets) keeps its final scores until it is reset.
        if ((work != Work::step && work != Work::hold) || !finished(i))
            std::fill_n(out_.final_scores.data() + i * NUM_AGENTS, NUM_AGENTS, std::int16_t{0});
    }
    if (work == Work::keep || work == Work::hold || (work == Work::step && finished(i))) {
        // Unchanged: the same list again; a finished game's is empty.
        const auto old = legal_list(i);
        list.insert(list.end(), old.begin(), old.end());
        counts_[i] = static_cast<std::uint32_t>(old.size());
        return;
    }
    out_.terminated[i] = 0;
    if (work == Work::restart) {
        games_[i] = new_game();
        sets_[i] = new_game_legal_sets();
    } else if (work == Work::refresh) {
        sets_[i].rebuild(games_[i]);
    } else if (work == Work::step) {
        play(i, action);
    }
    if (next != nullptr && (work == Work::restart || work == Work::step)) follow(i, *next, thread);
    write_views(i, list, scratch_[thread]);
}

// Plays the moves `next` gives for game i until it gives none or the game ends (under
// auto_reset, ends and starts again: the new game's turns are the caller's to ask for).
void GameBatch::follow(std::size_t i, const NextMove& next, unsigned thread) {
    while (!is_over(games_[i]) && out_.terminated[i] == 0) {
        const auto action = next(games_[i], i, thread);
        if (!action) return;
        play(i, *action);
    }
}

// Plays game i's action and the passes after it; at the end of the game records its outcome
// and either starts it again or keeps it finished.
void GameBatch::play(std::size_t i, std::int64_t action) {
    Game& game = games_[i];
    const auto mover = static_cast<unsigned>(game.current_agent);
    out_.mover[i] = static_cast<std::int8_t>(mover);
    const Placement* placement = game.table->lookup(mover, static_cast<std::uint64_t>(action));
    if (placement == nullptr || apply_action(game, static_cast<std::uint64_t>(action)))
        throw InternalError("a checked action was refused");
    sets_[i].placed(*game.table,
                    static_cast<PlacementId>(placement - game.table->placements.data()));
    skip_passes(game);
    if (!is_over(game)) return;
    out_.terminated[i] = 1;
    const Scores scores = compute_scores(game);
    const Outcome outcome = outcome_values(scores, options_.reward_mode);
    std::copy(scores.begin(), scores.end(), out_.final_scores.data() + i * NUM_AGENTS);
    std::copy(outcome.begin(), outcome.end(), out_.rewards.data() + i * NUM_AGENTS);
    if (!options_.auto_reset) return;  // it stays over: finished
    if (options_.observations) {
        const Observation final_view =
            build_observation(game, static_cast<unsigned>(game.current_agent));
        write_observation(final_view,
                          observation_spans(out_.final_observation.data() + i * OBSERVATION_BYTES,
                                            out_.final_pieces.data() + i * PIECES_BYTES,
                                            out_.final_done.data() + i * DONE_BYTES));
    }
    game = new_game();
    sets_[i] = new_game_legal_sets();
}

// Writes game i's mover, observation, legal list (appended to `list`) and dense mask row.
void GameBatch::write_views(std::size_t i, std::vector<std::int32_t>& list,
                            ThreadScratch& scratch) {
    const Game& game = games_[i];
    const unsigned mover = static_cast<unsigned>(game.current_agent);
    if (mover >= NUM_AGENTS) throw InternalError("current agent out of range");
    out_.current_agent[i] = static_cast<std::int8_t>(mover);

    if (options_.observations) {
        // A game over has no mover to speak of: the caller may name whose view it wants.
        const unsigned viewer = is_over(game) && !viewers_.empty() ? viewers_[i] : mover;
        if (viewer >= NUM_AGENTS) throw InternalError("viewer out of range");
        const Observation view = build_observation(game, viewer);
        write_observation(view, observation_spans(out_.observation.data() + i * OBSERVATION_BYTES,
                                                  out_.pieces.data() + i * PIECES_BYTES,
                                                  out_.done.data() + i * DONE_BYTES));
    }

    // The mask row held the previous list and nothing else: clearing those bytes clears it,
    // far cheaper than writing all 36,400.
    std::uint8_t* mask = options_.dense_mask ? out_.action_mask.data() + i * NUM_ACTIONS : nullptr;
    if (mask != nullptr)
        for (std::int32_t a : legal_list(i)) mask[a] = 0;
    const std::size_t first = list.size();
    std::size_t count = 0;
    if (!is_over(game)) {
        sets_[i].settle(mover, game);
        count = sets_[i].append_actions(mover, list);
        if constexpr (INNER_CHECKS) {
            // The kept set against a search from scratch.
            std::vector<std::int32_t>& searched = scratch.searched;
            searched.clear();
            const AgentMasks masks = agent_masks(game, mover);
            append_legal_actions(*game.table, masks.blocked, masks.corners,
                                 game.agent_states[mover].remaining, scratch.legal, searched,
                                 mover);
            if (!std::equal(searched.begin(), searched.end(), list.begin() + first, list.end()))
                throw InternalError("a kept legal set differs from the search");
        }
    }
    if (mask != nullptr)
        for (std::size_t k = first; k < first + count; ++k) mask[list[k]] = 1;
    counts_[i] = static_cast<std::uint32_t>(count);
}

}  // namespace krodan
