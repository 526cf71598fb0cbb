#pragma once
// Many independent games in one object: actions in, games stepped in parallel by a worker pool,
// observations, legal action lists, rewards and scores out, into arrays allocated once.
//
// Per game i: `observation`, `pieces`, `done` and the legal actions are those of the agent to
// move (the mover) in its own frame and agent-relative order, as build_observation gives them;
// `current_agent`, `rewards`, `final_scores` and `mover` are in absolute agent order. Agents
// with no legal placement are passed for by the batch, so the mover can always move unless the
// game is over. Nothing depends on the number of threads: each game is stepped by one task and
// draws from its own random stream (seed, i).

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "batch/function_ref.hpp"
#include "batch/shared_array.hpp"
#include "batch/worker_pool.hpp"
#include "game/game.hpp"
#include "game/legal_actions.hpp"
#include "game/legal_sets.hpp"
#include "game/observation.hpp"
#include "game/refusal.hpp"
#include "game/scoring.hpp"
#include "game/state_string.hpp"
#include "random/generator.hpp"

namespace krodan {

// The 12 planes of one game: cells, then corners, then blocked, each 4 x 20 x 20.
inline constexpr std::size_t OBSERVATION_BYTES = 3 * PLANE_BYTES;

inline constexpr std::string_view FINISHED_STATE =
    "The state is of a finished game, which a batch without auto_reset does not take";

struct BatchOptions {
    std::size_t num_games = 1;
    unsigned num_threads = 0;  // 0: one per core
    RewardMode reward_mode = RewardMode::win_share;
    bool auto_reset = true;    // a game that ends starts again in the same call
    bool dense_mask = true;    // write `action_mask` besides the legal action lists
    bool observations = true;  // write `observation`, `pieces` and `done`
    std::uint64_t seed = 0;
};

// Row i of each array belongs to game i. Arrays that an option turns off are empty.
struct BatchOutputs {
    SharedArray<std::uint8_t> observation;  // (N, 12, 20, 20) 0/1
    SharedArray<std::uint8_t> pieces;       // (N, 4, 21) 0/1
    SharedArray<std::uint8_t> done;         // (N, 4) 0/1
    SharedArray<std::uint8_t> action_mask;  // (N, 36400) 0/1
    // Game i's legal actions, ascending: legal_actions[legal_offsets[i] .. legal_offsets[i+1]).
    // Replaced by a larger array when the lists outgrow it.
    SharedArray<std::int32_t> legal_actions;
    SharedArray<std::int32_t> legal_offsets;  // (N + 1)
    SharedArray<std::int8_t> current_agent;   // (N) the mover
    // What the last step did, per game: the agent that acted (-1: none), whether the game ended
    // (or, without auto_reset, is over), its outcome and scores when it ended on that step.
    SharedArray<std::int8_t> mover;          // (N)
    SharedArray<std::uint8_t> terminated;    // (N) 0/1
    SharedArray<float> rewards;              // (N, 4)
    SharedArray<std::int16_t> final_scores;  // (N, 4)
    // With auto_reset: the mover's view of the final position of each game that ended on the
    // last step, before it started again; other rows hold older views.
    SharedArray<std::uint8_t> final_observation;  // (N, 12, 20, 20)
    SharedArray<std::uint8_t> final_pieces;       // (N, 4, 21)
    SharedArray<std::uint8_t> final_done;         // (N, 4)
};

// The action that leaves a game as it is for one step.
inline constexpr std::int64_t HOLD = -2;

struct IllegalAction {
    std::size_t game;
    std::int64_t action;
    unsigned agent;
};

class GameBatch {
  public:
    explicit GameBatch(const BatchOptions& options);

    const BatchOptions& options() const { return options_; }
    std::size_t size() const { return games_.size(); }
    unsigned num_threads() const { return pool_.num_threads(); }
    const BatchOutputs& outputs() const { return out_; }
    const Game& game(std::size_t i) const { return games_.at(i); }
    // A call failed half-way (out of memory, say): the arrays may not describe the games any
    // more, and no further call may be made.
    bool broken() const { return broken_; }
    // Over and kept so (without auto_reset; with it, no game is over between calls).
    bool finished(std::size_t i) const { return is_over(games_.at(i)); }

    // Starts every game anew, or only those with restart[i] != 0 when `restart` is not empty
    // (it then has one entry per game); `seed` reseeds the streams of the games it starts.
    // The arrays of the other games are left as they are.
    void reset(std::span<const std::uint8_t> restart, std::optional<std::uint64_t> seed);

    // One action per game, in its mover's frame; a finished game's is ignored, and a game given
    // HOLD is left as it is (its reward zero, its views and legal actions unchanged): a caller
    // that plays some games' movers elsewhere steps the others. Every action is checked first:
    // the first illegal one is returned and no game changes.
    std::optional<IllegalAction> step(std::span<const std::int64_t> actions);

    // The next move of game i (by its mover, in its frame, legal by construction), or nothing
    // when the caller plays that mover; `thread` names the thread asking, as in for_each_game.
    using NextMove = FunctionRef<std::optional<std::uint32_t>(const Game&, std::size_t, unsigned)>;

    // Plays the games on to the turns the caller takes, in one pass: game i starts anew when
    // restart[i] != 0 (its stream reseeded with `seed`, as by reset), or else takes actions[i]
    // as step would (HOLD leaves it as it is); then every game started or stepped goes on with
    // the moves `next` gives until it gives none or the game ends. Views and legal lists are
    // written once, at the end, and those of a game over by then are of agent viewers[i] (the
    // final mover's when `viewers` is empty). `mover` is the last agent to have moved; the
    // rewards and final scores are those of a game that ended on the way. Either of `restart`
    // and `actions` may be empty: no game restarts, or none is stepped. The actions are checked
    // first, as by step: the first illegal one is returned and no game changes.
    std::optional<IllegalAction> play_on(std::span<const std::uint8_t> restart,
                                         std::span<const std::int64_t> actions,
                                         std::optional<std::uint64_t> seed, NextMove next,
                                         std::span<const std::uint8_t> viewers = {});

    // A legal action of each game's mover, uniform from the game's stream; -1 for a finished
    // game. Streams go on across automatic resets.
    void random_actions(std::span<std::int32_t> out);

    // Runs task(i, thread) for every game i over the batch's threads, `thread` naming the one
    // running it (below num_threads()); the task may read game i and nothing else changes.
    void for_each_game(FunctionRef<void(std::size_t, unsigned)> task) const {
        pool_.run(games_.size(), task);
    }

    StateString state(std::size_t i) const { return encode_state(games_.at(i)); }

    // Replaces game i by the state string's game, passing for done movers. A finished game
    // starts anew under auto_reset and is refused without it; a refusal changes nothing.
    std::optional<Refusal> set_state(std::size_t i, std::string_view data);

    // The same for several games in one pass: every state is checked first; the first refused
    // is returned with its position in `states` and no game changes.
    struct StateOf {
        std::size_t game;
        std::string_view data;
    };
    struct RefusedState {
        std::size_t position;
        Refusal refusal;
    };
    std::optional<RefusedState> set_states(std::span<const StateOf> states);

  private:
    // The per-game work of run(), built once per instruction set (batch_kernels.hpp).
    friend void run_batch_chunk(GameBatch& batch, std::size_t chunk,
                                std::span<const std::int64_t> actions, unsigned thread,
                                const NextMove* next);

    enum class Work : std::uint8_t { keep, restart, step, refresh, hold };

    // Runs work_ over every game (a step's with `actions`), then lays the legal lists out one
    // after another.
    // With `next`, each game started or stepped goes on with its moves (see play_on).
    void run(std::span<const std::int64_t> actions = {}, const NextMove* next = nullptr);
    struct ThreadScratch;
    void run_game(std::size_t i, std::int64_t action, std::vector<std::int32_t>& list,
                  unsigned thread, const NextMove* next);
    void play(std::size_t i, std::int64_t action);
    void follow(std::size_t i, const NextMove& next, unsigned thread);
    void write_views(std::size_t i, std::vector<std::int32_t>& list, ThreadScratch& scratch);
    // The first illegal action of the games to step (work_ step), if any.
    std::optional<IllegalAction> check_actions(std::span<const std::int64_t> actions) const;
    std::span<const std::int32_t> legal_list(std::size_t i) const;

    BatchOptions options_;
    bool broken_ = false;
    std::vector<Game> games_;
    // Each game's legal placements, kept up to date with it rather than searched every turn.
    std::vector<LegalSets> sets_;
    std::vector<Generator> streams_;
    BatchOutputs out_;

    std::vector<Work> work_;
    // Whose view a game over is written from, during play_on; empty otherwise.
    std::span<const std::uint8_t> viewers_;
    std::vector<std::uint32_t> counts_;
    // Written by different threads at once: each on cache lines of its own.
    struct alignas(64) ChunkList {
        std::vector<std::int32_t> actions;
    };
    struct alignas(64) ThreadScratch {
        LegalActionScratch legal;
        std::vector<std::int32_t> searched;  // the checks' search from scratch
    };
    std::size_t chunk_size_;
    std::vector<ChunkList> chunk_lists_;
    std::vector<ThreadScratch> scratch_;
    mutable WorkerPool pool_;  // one job at a time, however the batch is held
};

}  // namespace krodan
