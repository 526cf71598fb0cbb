// PyKrodan's members that play and read a game: reset, step, observe, outcome, render and the
// properties. Each
// checks its parameter list, takes its borrow, converts its argument and delegates to the engine.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "game/apply_action.hpp"
#include "game/game_kernels.hpp"
#include "game/scoring.hpp"
#include "game/text_board.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/game_object.hpp"
#include "python/observation_object.hpp"
#include "python/signatures.hpp"

namespace krodan::python {
namespace {

using namespace signatures;

// A new list of four items made by item(agent), or nullptr.
template <class Item>
PyObject* list_of_agents(Item&& item) {
    Ref list(PyList_New(NUM_AGENTS));
    if (!list) return nullptr;
    for (unsigned a = 0; a < NUM_AGENTS; ++a) {
        PyObject* value = item(a);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), a, value);
    }
    return list.release();
}

}  // namespace

PyObject* game_reset(PyObject* self, PyObject*) {
    return write_game(self, [](Game& game) -> PyObject* {
        game = new_game();
        Py_RETURN_NONE;
    });
}

PyObject* game_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* mode_arg;
    if (!bind_arguments(OUTCOME, args, nargs, kwnames, {&mode_arg, 1})) return nullptr;
    return read_game(self, [&](const Game& game) -> PyObject* {
        std::string_view name;
        if (!to_utf8(mode_arg, "mode", name)) return nullptr;
        const auto mode = reward_mode_named(name);
        if (!mode) return raise_text(PyExc_ValueError, UNKNOWN_REWARD_MODE, name);
        const auto outcome = final_outcome(game, *mode);
        if (!outcome) Py_RETURN_NONE;
        return list_of_agents([&](unsigned a) { return PyFloat_FromDouble((*outcome)[a]); });
    });
}

PyObject* game_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* agent_arg;
    if (!bind_arguments(OBSERVE, args, nargs, kwnames, {&agent_arg, 1})) return nullptr;
    return read_game(self, [&](const Game& game) -> PyObject* {
        std::uint64_t agent;
        if (!to_u64(agent_arg, "agent_idx", agent)) return nullptr;
        if (agent >= game.num_agents)
            return raise_text(PyExc_ValueError, "Unknown agent ", std::to_string(agent));
        return wrap_observation(
            game_kernels().observation_bytes(game, static_cast<unsigned>(agent)));
    });
}

PyObject* game_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* action_arg;
    if (!bind_arguments(STEP, args, nargs, kwnames, {&action_arg, 1})) return nullptr;
    return write_game(self, [&](Game& game) -> PyObject* {
        std::optional<std::uint64_t> action;
        if (!to_optional_u64(action_arg, "action_idx", action)) return nullptr;
        if (const auto refusal = game_kernels().apply_action(game, action))
            return raise_text(PyExc_AssertionError, "Invalid action: ", refusal->message);
        Py_RETURN_NONE;
    });
}

PyObject* game_render(PyObject* self, PyObject*) {
    return read_game(self, [](const Game& game) -> PyObject* {
        // Straight to the process's standard output, not through sys.stdout.
        const std::string text = render_text(game) + "\n";
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0) {
            const int error = errno;
            clearerr(stdout);
            throw InternalError(std::string("failed printing to stdout: ") + std::strerror(error));
        }
        Py_RETURN_NONE;
    });
}

PyObject* game_agents(PyObject* self, void*) {
    return read_game(self, [](const Game& game) -> PyObject* {
        Ref list(PyList_New(static_cast<Py_ssize_t>(game.num_agents)));
        if (!list) return nullptr;
        for (std::uint64_t a = 0; a < game.num_agents; ++a) {
            PyObject* index = PyLong_FromUnsignedLongLong(a);
            if (index == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(a), index);
        }
        return list.release();
    });
}

PyObject* game_agent_selection(PyObject* self, void*) {
    return read_game(
        self, [](const Game& game) { return PyLong_FromUnsignedLongLong(game.current_agent); });
}

PyObject* game_terminations(PyObject* self, void*) {
    return read_game(self, [](const Game& game) {
        return list_of_agents(
            [&](unsigned a) { return PyBool_FromLong(game.agent_states[a].done); });
    });
}

PyObject* game_rewards(PyObject* self, void*) {
    return read_game(self, [](const Game& game) {
        const Scores scores = compute_scores(game);
        return list_of_agents([&](unsigned a) {
            return game.agent_states[a].done ? PyLong_FromLong(scores[a]) : Py_NewRef(Py_None);
        });
    });
}

PyObject* game_scores(PyObject* self, void*) {
    return read_game(self, [](const Game& game) {
        const Scores scores = compute_scores(game);
        return list_of_agents([&](unsigned a) { return PyLong_FromLong(scores[a]); });
    });
}

PyObject* game_is_over(PyObject* self, void*) {
    return read_game(self, [](const Game& game) { return PyBool_FromLong(is_over(game)); });
}

PyObject* game_ply(PyObject* self, void*) {
    return read_game(self, [](const Game& game) { return PyLong_FromUnsignedLong(ply(game)); });
}

}  // namespace krodan::python
