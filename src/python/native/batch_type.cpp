// GameBatch: constructor, calls, and the arrays it hands out.

#include "python/native/batch_type.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "batch/game_batch.hpp"
#include "game/state_string.hpp"
#include "python/arguments.hpp"
#include "python/borrow_flag.hpp"
#include "python/errors.hpp"
#include "python/native/agent_type.hpp"
#include "python/native/array_type.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/exclusive_call.hpp"
#include "python/native/limits.hpp"
#include "python/native/replay.hpp"
#include "python/native/without_lock.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 7> OPTIONS = {
    "num_games", "num_threads", "reward_mode", "auto_reset", "dense_mask", "observations", "seed"};
inline constexpr std::array<const char*, 2> RESET_ARGS = {"restart", "seed"};
inline constexpr std::array<const char*, 1> ACTIONS = {"actions"};
inline constexpr std::array<const char*, 1> OUT = {"out"};
inline constexpr std::array<const char*, 1> INDEX = {"index"};
inline constexpr std::array<const char*, 2> SET_STATE_ARGS = {"index", "data"};

inline constexpr Signature NEW{"GameBatch()", OPTIONS};
inline constexpr Signature RESET{"GameBatch.reset()", RESET_ARGS};
inline constexpr Signature STEP{"GameBatch.step()", ACTIONS};
inline constexpr Signature RANDOM_ACTIONS{"GameBatch.random_actions()", OUT};
inline constexpr std::array<const char*, 3> AGENT_ACTIONS_ARGS = {"seats", "out", "games"};
inline constexpr Signature AGENT_ACTIONS{"GameBatch.agent_actions()", AGENT_ACTIONS_ARGS};
inline constexpr std::array<const char*, 5> PLAY_TO_LEARNERS_ARGS = {"opponents", "learner_seats",
                                                                     "restart", "actions", "seed"};
inline constexpr Signature PLAY_TO_LEARNERS{"GameBatch.play_to_learners()", PLAY_TO_LEARNERS_ARGS};
inline constexpr Signature GET_STATE{"GameBatch.get_state()", INDEX};
inline constexpr Signature SET_STATE{"GameBatch.set_state()", SET_STATE_ARGS};
inline constexpr std::array<const char*, 1> STATES = {"states"};
inline constexpr Signature SET_STATES{"GameBatch.set_states()", STATES};
inline constexpr std::array<const char*, 2> STATE_ROWS = {"states", "count"};
inline constexpr Signature SET_STATE_ROWS{"GameBatch.set_state_rows()", STATE_ROWS};
inline constexpr std::array<const char*, 2> STATE_ROWS_OUT = {"out", "count"};
inline constexpr Signature STATE_ROWS_OF{"GameBatch.state_rows()", STATE_ROWS_OUT};

struct BatchState {
    explicit BatchState(const BatchOptions& options)
        : batch(options),
          actions(options.num_games),
          restart(options.num_games),
          learner_seats(options.num_games),
          agent_scratch(batch.num_threads()) {}
    GameBatch batch;
    std::vector<std::int64_t> actions;        // the step's actions, copied while the lock is held
    std::vector<std::uint8_t> restart;        // the reset's mask, likewise
    std::vector<std::uint8_t> learner_seats;  // play_to_learners' seats, likewise
    std::vector<AgentScratch> agent_scratch;  // one per thread, for seated agents
};

// Every field is valid zeroed, as the allocator leaves it, so a failed construction is freed
// like a whole one.
struct BatchObject {
    PyObject ob_base;
    BatchState* state;  // owned
    BorrowFlag busy;
    PyObject* legal_view;    // the view of the current legal_actions array
    const void* legal_data;  // the memory it views
};

BatchObject* as_batch(PyObject* self) {
    return reinterpret_cast<BatchObject*>(self);
}

// Runs body(batch) while holding the object's busy flag, refusing a broken batch.
template <class Body>
PyObject* with_batch(PyObject* self, Body&& body) {
    BatchObject* b = as_batch(self);
    return exclusive_call(b->busy,
                          "this batch is running a call from another thread; calls into one "
                          "batch must not overlap",
                          [&]() -> PyObject* {
                              if (b->state->batch.broken()) {
                                  PyErr_SetString(
                                      PyExc_RuntimeError,
                                      "an earlier call on this batch failed half-way, leaving "
                                      "its arrays inconsistent with its games; make a new batch");
                                  return nullptr;
                              }
                              return body(*b);
                          });
}

// Refreshes the cached view of legal_actions when the batch replaced that array.
bool refresh_legal_view(BatchObject& b) {
    const SharedArray<std::int32_t>& legal = b.state->batch.outputs().legal_actions;
    if (b.legal_view != nullptr && b.legal_data == legal.data()) return true;
    PyObject* view = wrap_array(legal, {static_cast<Py_ssize_t>(legal.size())});
    if (view == nullptr) return false;
    Py_XSETREF(b.legal_view, view);
    b.legal_data = legal.data();
    return true;
}

// Copies one action per game (int32 or int64) into the batch's actions while the lock is held;
// false with an exception set otherwise.
bool copy_actions(BatchObject& b, PyObject* obj) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(b.state->batch.size());
    BufferArg actions(obj, "actions", PyBUF_C_CONTIGUOUS);
    if (actions.check(n, "ilq") == 0) return false;
    if (actions.item_size() == 4) {
        // memcpy per item: a contiguous buffer need not be aligned.
        const auto* in = static_cast<const char*>(actions.data());
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::int32_t value;
            std::memcpy(&value, in + 4 * i, 4);
            b.state->actions[static_cast<std::size_t>(i)] = value;
        }
    } else if (actions.item_size() == 8) {
        std::memcpy(b.state->actions.data(), actions.data(), static_cast<std::size_t>(n) * 8);
    } else {
        PyErr_SetString(PyExc_TypeError, "actions: integers of 4 or 8 bytes expected");
        return false;
    }
    return true;
}

// Copies one byte per game (bool or 8-bit integers) into `out`, which has one entry per game.
bool copy_bytes(PyObject* obj, const char* name, std::vector<std::uint8_t>& out) {
    BufferArg bytes(obj, name, PyBUF_C_CONTIGUOUS);
    if (bytes.check(static_cast<Py_ssize_t>(out.size()), "?Bb") == 0) return false;
    std::memcpy(out.data(), bytes.data(), out.size());
    return true;
}

PyObject* raise_illegal(const IllegalAction& illegal) {
    return PyErr_Format(PyExc_ValueError, "game %zu: action %lld is not legal for agent %u",
                        illegal.game, static_cast<long long>(illegal.action), illegal.agent);
}

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, OPTIONS.size()> a{};
    if (!bind_arguments(NEW, args, kwargs, a)) return nullptr;
    BatchOptions options;
    std::uint64_t num_games, num_threads, seed;
    std::string_view mode_name;
    if (!to_u64(a[0], "num_games", num_games) || !to_u64(a[1], "num_threads", num_threads) ||
        !to_utf8(a[2], "reward_mode", mode_name) ||
        !to_flag(a[3], "auto_reset", options.auto_reset) ||
        !to_flag(a[4], "dense_mask", options.dense_mask) ||
        !to_flag(a[5], "observations", options.observations) || !to_u64(a[6], "seed", seed))
        return nullptr;
    if (num_games < 1 || num_games > MAX_GAMES)
        return PyErr_Format(PyExc_ValueError, "num_games must be from 1 to %llu, not %llu",
                            static_cast<unsigned long long>(MAX_GAMES),
                            static_cast<unsigned long long>(num_games));
    if (num_threads > MAX_THREADS)
        return PyErr_Format(PyExc_ValueError, "num_threads must be at most %llu",
                            static_cast<unsigned long long>(MAX_THREADS));
    const auto mode = reward_mode_named(mode_name);
    if (!mode) return raise_text(PyExc_ValueError, UNKNOWN_REWARD_MODE, mode_name);
    options.num_games = num_games;
    options.num_threads = static_cast<unsigned>(num_threads);
    options.reward_mode = *mode;
    options.seed = seed;

    return guarded([&]() -> PyObject* {
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        BatchObject* b = as_batch(self.get());
        new (&b->busy) BorrowFlag();
        try {
            b->state = without_lock([&] { return new BatchState(options); });
        } catch (const std::system_error& e) {
            PyErr_Format(PyExc_RuntimeError, "could not start %u worker threads: %s",
                         options.num_threads, e.what());
            return nullptr;
        }
        if (!refresh_legal_view(*b)) return nullptr;
        return self.release();
    });
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    BatchObject* b = as_batch(self);
    Py_CLEAR(b->legal_view);
    // The pool's threads are joined here; they sleep between calls, so this is prompt.
    delete std::exchange(b->state, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* batch_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a{};
    if (!bind_arguments(RESET, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        bool masked = a[0] != Py_None;
        if (masked && !copy_bytes(a[0], "restart", b.state->restart)) return nullptr;
        std::optional<std::uint64_t> seed;
        if (!to_optional_u64(a[1], "seed", seed)) return nullptr;
        without_lock([&] {
            b.state->batch.reset(masked ? std::span<const std::uint8_t>(b.state->restart)
                                        : std::span<const std::uint8_t>(),
                                 seed);
        });
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* batch_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* actions_arg;
    if (!bind_arguments(STEP, args, nargs, kwnames, {&actions_arg, 1})) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        if (!copy_actions(b, actions_arg)) return nullptr;
        const auto illegal = without_lock([&] { return b.state->batch.step(b.state->actions); });
        if (illegal) return raise_illegal(*illegal);
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

// Game i's learner and opponents' moves until its learner's next turn, for every game in one
// call: the learner's action (or a restart), then the built-in opponents'.
PyObject* batch_play_to_learners(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, PLAY_TO_LEARNERS_ARGS.size()> a{};
    if (!bind_arguments(PLAY_TO_LEARNERS, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        BatchState& state = *b.state;
        HeldAgents held;
        LearnerTurns turns{.learner_seats = state.learner_seats, .scratch = state.agent_scratch};
        if (!to_opponents(a[0], "opponents", held, turns.opponents)) return nullptr;
        if (!copy_bytes(a[1], "learner_seats", state.learner_seats)) return nullptr;
        for (std::uint8_t seat : state.learner_seats)
            if (seat >= NUM_AGENTS)
                return PyErr_Format(PyExc_ValueError, "learner_seats: a seat is 0 to %u, not %u",
                                    NUM_AGENTS - 1, static_cast<unsigned>(seat));
        // None: no game restarts, or none takes a learner's action.
        std::span<const std::uint8_t> restart;
        std::span<const std::int64_t> actions;
        if (a[2] != Py_None) {
            if (!copy_bytes(a[2], "restart", state.restart)) return nullptr;
            restart = state.restart;
        }
        if (a[3] != Py_None) {
            if (!copy_actions(b, a[3])) return nullptr;
            actions = state.actions;
        }
        std::optional<std::uint64_t> seed;
        if (!to_optional_u64(a[4], "seed", seed)) return nullptr;
        const auto illegal = without_lock(
            [&] { return play_to_learners(state.batch, turns, restart, actions, seed); });
        if (illegal) return raise_illegal(*illegal);
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* batch_random_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* out_arg;
    if (!bind_arguments(RANDOM_ACTIONS, args, nargs, kwnames, {&out_arg, 1})) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        const Py_ssize_t n = static_cast<Py_ssize_t>(b.state->batch.size());
        BufferArg out(out_arg, "out", PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
        if (!out.check(n, "i")) return nullptr;
        b.state->batch.random_actions(
            {static_cast<std::int32_t*>(out.data()), static_cast<std::size_t>(n)});
        Py_RETURN_NONE;
    });
}

PyObject* batch_agent_actions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, 3> a{};
    if (!bind_arguments(AGENT_ACTIONS, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        const Py_ssize_t n = static_cast<Py_ssize_t>(b.state->batch.size());
        HeldAgents held;
        Seats seats;
        if (!to_seats(a[0], "seats", held, seats)) return nullptr;
        BufferArg out(a[1], "out", PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
        if (!out.check(n, "i")) return nullptr;
        std::span<std::int32_t> into{static_cast<std::int32_t*>(out.data()),
                                     static_cast<std::size_t>(n)};
        std::span<const std::uint8_t> games;
        std::optional<BufferArg> mask;
        if (a[2] != nullptr && a[2] != Py_None) {
            mask.emplace(a[2], "games", PyBUF_C_CONTIGUOUS);
            if (!mask->check(n, "?Bb")) return nullptr;
            games = {static_cast<const std::uint8_t*>(mask->data()), static_cast<std::size_t>(n)};
        }
        without_lock(
            [&] { seated_actions(b.state->batch, seats, b.state->agent_scratch, into, games); });
        Py_RETURN_NONE;
    });
}

// Game `index` of the batch, or false with IndexError set.
bool to_game_index(PyObject* obj, const GameBatch& batch, std::size_t& out) {
    std::uint64_t i;
    if (!to_u64(obj, "index", i)) return false;
    if (i >= batch.size()) {
        PyErr_Format(PyExc_IndexError, "game index %llu out of range for %zu games",
                     static_cast<unsigned long long>(i), batch.size());
        return false;
    }
    out = static_cast<std::size_t>(i);
    return true;
}

PyObject* batch_get_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* index_arg;
    if (!bind_arguments(GET_STATE, args, nargs, kwnames, {&index_arg, 1})) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        std::size_t i;
        if (!to_game_index(index_arg, b.state->batch, i)) return nullptr;
        const StateString state = b.state->batch.state(i);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state.data()),
                                         static_cast<Py_ssize_t>(state.size()));
    });
}

PyObject* batch_set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    std::array<PyObject*, 2> a{};
    if (!bind_arguments(SET_STATE, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        std::size_t i;
        std::string_view data;
        if (!to_game_index(a[0], b.state->batch, i) || !to_bytes(a[1], "data", data))
            return nullptr;
        const auto refusal = without_lock([&] { return b.state->batch.set_state(i, data); });
        if (refusal) return raise_text(PyExc_ValueError, refusal->message, {});
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* batch_set_states(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* states_arg;
    if (!bind_arguments(SET_STATES, args, nargs, kwnames, {&states_arg, 1})) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        // The sequence holds the bytes objects whose contents the views below point into.
        Ref states(PySequence_Fast(states_arg, "states must be a sequence of (index, bytes)"));
        if (!states) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(states.get());
        std::vector<GameBatch::StateOf> parsed(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* item = PySequence_Fast_GET_ITEM(states.get(), k);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
                PyErr_SetString(PyExc_TypeError, "states must be a sequence of (index, bytes)");
                return nullptr;
            }
            auto& state = parsed[static_cast<std::size_t>(k)];
            if (!to_game_index(PyTuple_GET_ITEM(item, 0), b.state->batch, state.game) ||
                !to_bytes(PyTuple_GET_ITEM(item, 1), "data", state.data))
                return nullptr;
        }
        const auto refused = without_lock([&] { return b.state->batch.set_states(parsed); });
        if (refused) {
            const std::string prefix =
                "game " + std::to_string(parsed[refused->position].game) + ": ";
            return raise_text(PyExc_ValueError, prefix, refused->refusal.message);
        }
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

// Games 0 .. count-1 from `count` state strings laid end to end in one uint8 buffer: what a
// dataset reader hands over, without a bytes object per game.
PyObject* batch_set_state_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 2> a{};
    if (!bind_arguments(SET_STATE_ROWS, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        std::uint64_t count;
        if (!to_bounded(a[1], "count", 0, b.state->batch.size(), count)) return nullptr;
        BufferArg states(a[0], "states", PyBUF_C_CONTIGUOUS);
        if (!states.check(static_cast<Py_ssize_t>(count * STATE_SIZE), "B")) return nullptr;
        const char* data = static_cast<const char*>(states.data());
        std::vector<GameBatch::StateOf> parsed(static_cast<std::size_t>(count));
        for (std::size_t k = 0; k < parsed.size(); ++k)
            parsed[k] = {k, std::string_view(data + k * STATE_SIZE, STATE_SIZE)};
        const auto refused = without_lock([&] { return b.state->batch.set_states(parsed); });
        if (refused) return raise_row_error(refused->position, refused->refusal.message);
        if (!refresh_legal_view(b)) return nullptr;
        Py_RETURN_NONE;
    });
}

// The state strings of games 0 .. count-1, end to end, into a writable uint8 buffer.
PyObject* batch_state_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    std::array<PyObject*, 2> a{};
    if (!bind_arguments(STATE_ROWS_OF, args, nargs, kwnames, a)) return nullptr;
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        std::uint64_t count;
        if (!to_bounded(a[1], "count", 0, b.state->batch.size(), count)) return nullptr;
        BufferArg out(a[0], "out", PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        if (!out.check(static_cast<Py_ssize_t>(count * STATE_SIZE), "B")) return nullptr;
        auto* data = static_cast<std::uint8_t*>(out.data());
        without_lock([&] {
            for (std::size_t k = 0; k < count; ++k) {
                const StateString state = b.state->batch.state(k);
                std::copy(state.begin(), state.end(), data + k * STATE_SIZE);
            }
        });
        Py_RETURN_NONE;
    });
}

PyObject* batch_arrays(PyObject* self, PyObject*) {
    return with_batch(self, [&](BatchObject& b) -> PyObject* {
        const BatchOutputs& out = b.state->batch.outputs();
        const Py_ssize_t n = static_cast<Py_ssize_t>(b.state->batch.size());
        constexpr Py_ssize_t agents = NUM_AGENTS, rows = BOARD_ROWS, cols = BOARD_COLS;
        constexpr Py_ssize_t planes = 3 * NUM_AGENTS, pieces = NUM_PIECES;
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        const bool ok =
            put_array(dict.get(), "observation", out.observation, {n, planes, rows, cols}) &&
            put_array(dict.get(), "pieces", out.pieces, {n, agents, pieces}) &&
            put_array(dict.get(), "done", out.done, {n, agents}) &&
            put_array(dict.get(), "action_mask", out.action_mask,
                      {n, static_cast<Py_ssize_t>(NUM_ACTIONS)}, "?") &&
            put_array(dict.get(), "legal_offsets", out.legal_offsets, {n + 1}) &&
            put_array(dict.get(), "current_agent", out.current_agent, {n}) &&
            put_array(dict.get(), "mover", out.mover, {n}) &&
            put_array(dict.get(), "terminated", out.terminated, {n}, "?") &&
            put_array(dict.get(), "rewards", out.rewards, {n, agents}) &&
            put_array(dict.get(), "final_scores", out.final_scores, {n, agents}) &&
            put_array(dict.get(), "final_observation", out.final_observation,
                      {n, planes, rows, cols}) &&
            put_array(dict.get(), "final_pieces", out.final_pieces, {n, agents, pieces}) &&
            put_array(dict.get(), "final_done", out.final_done, {n, agents});
        return ok ? dict.release() : nullptr;
    });
}

PyObject* batch_legal_actions(PyObject* self, PyObject*) {
    return with_batch(self, [](BatchObject& b) { return Py_NewRef(b.legal_view); });
}

PyObject* batch_num_games(PyObject* self, void*) {
    return PyLong_FromSize_t(as_batch(self)->state->batch.size());
}

PyObject* batch_num_threads(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_batch(self)->state->batch.num_threads());
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

template <class F>
constexpr PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"reset", method(batch_reset), FASTCALL,
     "reset($self, restart, seed)\n--\n\nStarts every game anew (restart None) or those whose "
     "entry is true; a seed reseeds their streams."},
    {"step", method(batch_step), FASTCALL,
     "step($self, actions)\n--\n\nOne action per game (int32 or int64); raises ValueError and "
     "changes nothing when one is illegal."},
    {"random_actions", method(batch_random_actions), FASTCALL,
     "random_actions($self, out)\n--\n\nWrites a uniformly drawn legal action of each game's "
     "mover into the int32 buffer `out` (-1 for a finished game)."},
    {"agent_actions", method(batch_agent_actions), FASTCALL,
     "agent_actions($self, seats, out, games)\n--\n\nWrites into the int32 buffer `out` "
     "the action each game's mover takes as played by the built-in agent in its seat (-1 for a "
     "finished game). With a bool buffer `games`, only the games it marks are decided; the "
     "others' entries are left as they were."},
    {"play_to_learners", method(batch_play_to_learners), FASTCALL,
     "play_to_learners($self, opponents, learner_seats, restart, actions, seed)\n--\n\n"
     "Game i restarts (restart[i] true; `seed` reseeds its stream) or takes actions[i] as step "
     "would; then its three opponents (built-in agents, opponent j sitting j + 1 seats after "
     "the learner in learner_seats[i]; None for one the caller plays) move until the learner's "
     "turn, a None opponent's or the game's end. A game over is seen from its learner's seat. "
     "restart and actions may be None; an illegal action raises ValueError and changes "
     "nothing."},
    {"get_state", method(batch_get_state), FASTCALL,
     "get_state($self, index)\n--\n\nThe state string of one game."},
    {"set_state", method(batch_set_state), FASTCALL,
     "set_state($self, index, data)\n--\n\nReplaces one game by a state string's game."},
    {"set_states", method(batch_set_states), FASTCALL,
     "set_states($self, states)\n--\n\nReplaces the games of (index, data) pairs in one pass; "
     "all are checked first."},
    {"set_state_rows", method(batch_set_state_rows), FASTCALL,
     "set_state_rows($self, states, count)\n--\n\nReplaces games 0 .. count-1 by the games of "
     "`count` state strings laid end to end in a uint8 buffer; all are checked first, the "
     "first refused raising RowError."},
    {"state_rows", method(batch_state_rows), FASTCALL,
     "state_rows($self, out, count)\n--\n\nWrites the state strings of games 0 .. count-1 end "
     "to end into the writable uint8 buffer `out`."},
    {"arrays", batch_arrays, METH_NOARGS,
     "arrays($self)\n--\n\nViews of the output arrays by name (None for those turned off)."},
    {"legal_actions", batch_legal_actions, METH_NOARGS,
     "legal_actions($self)\n--\n\nThe view of the whole legal_actions array; replaced when it "
     "grows."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_games", batch_num_games, nullptr, nullptr, nullptr},
    {"num_threads", batch_num_threads, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_doc, const_cast<char*>("GameBatch(num_games, num_threads, reward_mode, auto_reset, "
                                  "dense_mask, observations, seed)\n--\n\nMany games stepped in "
                                  "one call; BATCH_DEFAULTS holds a default batch's options, "
                                  "and krodan_rl.VecKrodan is its typed interface.")},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"krodan_rl._native.GameBatch", sizeof(BatchObject), 0, Py_TPFLAGS_DEFAULT,
                    slots};

}  // namespace

PyTypeObject* batch_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* batch_defaults() {
    const BatchOptions d;
    const std::string_view mode = REWARD_MODE_NAMES[static_cast<std::size_t>(d.reward_mode)];
    return Py_BuildValue(
        "{s:n,s:I,s:s#,s:O,s:O,s:O,s:K}", "num_games", static_cast<Py_ssize_t>(d.num_games),
        "num_threads", d.num_threads, "reward_mode", mode.data(),
        static_cast<Py_ssize_t>(mode.size()), "auto_reset", d.auto_reset ? Py_True : Py_False,
        "dense_mask", d.dense_mask ? Py_True : Py_False, "observations",
        d.observations ? Py_True : Py_False, "seed", static_cast<unsigned long long>(d.seed));
}

}  // namespace krodan::python
