#include "batch/game_batch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "game/agent_masks.hpp"
#include "game/apply_action.hpp"
#include "game/checks.hpp"

namespace krodan {
namespace {

// Room for the legal lists of a game before the flat array first grows; mid-game lists are a
// few hundred long.
constexpr std::size_t LIST_ROOM = 512;

// The legal sets of a new game, searched once.
const LegalSets& new_game_sets() {
    static const LegalSets sets = [] {
        LegalSets built;
        built.rebuild(new_game());
        return built;
    }();
    return sets;
}

// Passes for every done agent to move, until one can move or the game is over.
void pass_done_movers(Game& game) {
    while (!is_over(game) && game.agent_states[game.current_agent % NUM_AGENTS].done)
        if (apply_action(game, std::nullopt)) throw InternalError("a pass was refused");
}

}  // namespace

GameBatch::GameBatch(const BatchOptions& options)
    : options_(options),
      games_(options.num_games, new_game()),
      sets_(options.num_games, new_game_sets()),
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
        pass_done_movers(game);
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
    pool_.run(chunk_lists_.size(), [&](std::size_t chunk, unsigned thread) {
        std::vector<std::int32_t>& list = chunk_lists_[chunk].actions;
        list.clear();
        const std::size_t end = std::min(n, (chunk + 1) * chunk_size_);
        for (std::size_t i = chunk * chunk_size_; i < end; ++i)
            run_game(i, actions.empty() ? -1 : actions[i], list, thread, next);
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
        sets_[i] = new_game_sets();
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
    pass_done_movers(game);
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
    sets_[i] = new_game_sets();
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
