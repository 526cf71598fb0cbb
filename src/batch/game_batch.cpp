#include "batch/game_batch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "batch/batch_kernels.hpp"
#include "game/checks.hpp"
#include "game/passes.hpp"

namespace krodan {
namespace {

// Room for the legal lists of a game before the flat array first grows; mid-game lists are a
// few hundred long.
constexpr std::size_t LIST_ROOM = 512;

}  // namespace

GameBatch::GameBatch(const BatchOptions& options)
    : options_(options),
      games_(options.num_games, new_game()),
      sets_(options.num_games, new_game_legal_sets()),
      streams_(options.num_games),
      work_(options.num_games, Work::restart),
      counts_(options.num_games),
      pool_(options.num_threads) {
    const std::size_t n = options.num_games;
    if (n == 0) throw InternalError("a batch of no games");
    if (options.observations) {
        out_.observation = SharedArray<std::uint8_t>(n * OBSERVATION_BYTES);
        out_.pieces = SharedArray<std::uint8_t>(n * PIECES_BYTES);
        out_.done = SharedArray<std::uint8_t>(n * DONE_BYTES);
        if (options.auto_reset) {
            out_.final_observation = SharedArray<std::uint8_t>(n * OBSERVATION_BYTES);
            out_.final_pieces = SharedArray<std::uint8_t>(n * PIECES_BYTES);
            out_.final_done = SharedArray<std::uint8_t>(n * DONE_BYTES);
        }
    }
    if (options.dense_mask) out_.action_mask = SharedArray<std::uint8_t>(n * NUM_ACTIONS);
    out_.legal_actions = SharedArray<std::int32_t>(n * LIST_ROOM);
    out_.legal_offsets = SharedArray<std::int32_t>(n + 1);
    out_.current_agent = SharedArray<std::int8_t>(n);
    out_.mover = SharedArray<std::int8_t>(n);
    out_.terminated = SharedArray<std::uint8_t>(n);
    out_.rewards = SharedArray<float>(n * NUM_AGENTS);
    out_.final_scores = SharedArray<std::int16_t>(n * NUM_AGENTS);

    // A few chunks per thread balance games of different lengths; each chunk lists its games'
    // legal actions in order, so the flat array is the chunks' lists one after another.
    chunk_size_ = std::clamp<std::size_t>(n / (8 * pool_.num_threads()), 1, 64);
    chunk_lists_.resize((n + chunk_size_ - 1) / chunk_size_);
    for (auto& list : chunk_lists_) list.actions.reserve(chunk_size_ * LIST_ROOM);
    scratch_.resize(pool_.num_threads());
    for (auto& s : scratch_) {
        s.legal.ids.reserve(LIST_ROOM * 2);
        if constexpr (INNER_CHECKS) s.searched.reserve(LIST_ROOM * 4);
    }
    for (std::size_t i = 0; i < n; ++i) streams_[i] = Generator(options.seed, i);
    run();
}

std::span<const std::int32_t> GameBatch::legal_list(std::size_t i) const {
    const std::int32_t* offsets = out_.legal_offsets.data();
    return {out_.legal_actions.data() + offsets[i], out_.legal_actions.data() + offsets[i + 1]};
}

void GameBatch::reset(std::span<const std::uint8_t> restart, std::optional<std::uint64_t> seed) {
    if (!restart.empty() && restart.size() != size()) throw InternalError("reset mask size");
    for (std::size_t i = 0; i < size(); ++i) {
        const bool starts = restart.empty() || restart[i] != 0;
        work_[i] = starts ? Work::restart : Work::keep;
        if (starts && seed) streams_[i] = Generator(*seed, i);
    }
    run();
}

std::optional<IllegalAction> GameBatch::step(std::span<const std::int64_t> actions) {
    if (actions.size() != size()) throw InternalError("one action per game");
    for (std::size_t i = 0; i < size(); ++i)
        work_[i] = actions[i] == HOLD ? Work::hold : Work::step;
    if (auto illegal = check_actions(actions)) return illegal;
    run(actions);
    return std::nullopt;
}

std::optional<IllegalAction> GameBatch::play_on(std::span<const std::uint8_t> restart,
                                                std::span<const std::int64_t> actions,
                                                std::optional<std::uint64_t> seed, NextMove next,
                                                std::span<const std::uint8_t> viewers) {
    if ((!restart.empty() && restart.size() != size()) ||
        (!actions.empty() && actions.size() != size()) ||
        (!viewers.empty() && viewers.size() != size()))
        throw InternalError("play on: one entry per game");
    for (std::size_t i = 0; i < size(); ++i) {
        if (!restart.empty() && restart[i] != 0)
            work_[i] = Work::restart;
        else if (actions.empty())
            work_[i] = Work::keep;
        else
            work_[i] = actions[i] == HOLD ? Work::hold : Work::step;
    }
    if (auto illegal = check_actions(actions)) return illegal;
    if (seed)
        for (std::size_t i = 0; i < size(); ++i)
            if (work_[i] == Work::restart) streams_[i] = Generator(*seed, i);
    viewers_ = viewers;
    try {
        run(actions, &next);
    } catch (...) {
        viewers_ = {};
        throw;
    }
    viewers_ = {};
    return std::nullopt;
}

std::optional<IllegalAction> GameBatch::check_actions(std::span<const std::int64_t> actions) const {
    for (std::size_t i = 0; i < actions.size(); ++i) {
        if (work_[i] != Work::step || finished(i)) continue;
        const std::int64_t a = actions[i];
        bool legal = a >= 0 && static_cast<std::uint64_t>(a) < NUM_ACTIONS;
        if (legal && options_.dense_mask) {
            legal = out_.action_mask[i * NUM_ACTIONS + static_cast<std::size_t>(a)] != 0;
        } else if (legal) {
            const auto list = legal_list(i);
            legal = std::binary_search(list.begin(), list.end(), static_cast<std::int32_t>(a));
        }
        if (!legal) return IllegalAction{i, a, static_cast<unsigned>(games_[i].current_agent)};
    }
    return std::nullopt;
}

void GameBatch::random_actions(std::span<std::int32_t> out) {
    if (out.size() != size()) throw InternalError("one action per game");
    for (std::size_t i = 0; i < size(); ++i) {
        const auto list = legal_list(i);
        if (finished(i)) {
            out[i] = -1;
        } else if (list.empty()) {
            throw InternalError("a mover in play without a legal action");
        } else {
            out[i] = list[streams_[i].below(list.size())];
        }
    }
}

std::optional<Refusal> GameBatch::set_state(std::size_t i, std::string_view data) {
    const StateOf one{i, data};
    const auto refused = set_states({&one, 1});
    if (refused) return refused->refusal;
    return std::nullopt;
}

std::optional<GameBatch::RefusedState> GameBatch::set_states(std::span<const StateOf> states) {
    std::vector<Game> incoming;
    incoming.reserve(states.size());
    for (std::size_t k = 0; k < states.size(); ++k) {
        if (states[k].game >= size()) throw InternalError("game index out of range");
        auto decoded = decode_state(states[k].data);
        if (const auto* refusal = std::get_if<Refusal>(&decoded)) return RefusedState{k, *refusal};
        Game game = std::get<Game>(decoded);
        skip_passes(game);
        if (is_over(game)) {
            if (!options_.auto_reset) return RefusedState{k, Refusal{FINISHED_STATE}};
            game = new_game();
        }
        incoming.push_back(game);
    }
    std::fill(work_.begin(), work_.end(), Work::keep);
    for (std::size_t k = 0; k < states.size(); ++k) {
        games_[states[k].game] = incoming[k];
        work_[states[k].game] = Work::refresh;
    }
    run();
    return std::nullopt;
}

void GameBatch::run(std::span<const std::int64_t> actions, const NextMove* next) {
    // Games change before the lists are laid out: a failure half-way (out of memory, a violated
    // invariant) leaves arrays that no longer describe the games, so the batch refuses all
    // further calls rather than read them.
    broken_ = true;
    const std::size_t n = size();
    const BatchKernels& kernels = batch_kernels();
    pool_.run(chunk_lists_.size(), [&](std::size_t chunk, unsigned thread) {
        kernels.run_chunk(*this, chunk, actions, thread, next);
    });

    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += counts_[i];
    if (total > static_cast<std::size_t>(INT32_MAX)) throw InternalError("legal lists too long");
    if (total > out_.legal_actions.size())
        out_.legal_actions =
            SharedArray<std::int32_t>(std::max(total, 2 * out_.legal_actions.size()));
    std::int32_t* offsets = out_.legal_offsets.data();
    for (std::size_t i = 0, at = 0; i < n; at += counts_[i], ++i)
        offsets[i] = static_cast<std::int32_t>(at);
    offsets[n] = static_cast<std::int32_t>(total);
    pool_.run(chunk_lists_.size(), [&](std::size_t chunk, unsigned) {
        const std::vector<std::int32_t>& list = chunk_lists_[chunk].actions;
        if (list.empty()) return;
        std::memcpy(out_.legal_actions.data() + offsets[chunk * chunk_size_], list.data(),
                    list.size() * sizeof(std::int32_t));
    });
    broken_ = false;
}

}  // namespace krodan
