#pragma once
// The host object of the class PyKrodan: one Game by value and its borrow flag.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "game/game.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace krodan::python {

struct GameObject {
    PyObject ob_base;  // the object header
    Game game;
    BorrowFlag borrow;
};

inline GameObject* as_game(PyObject* self) {
    return reinterpret_cast<GameObject*>(self);
}

// Runs read(game) under a shared borrow of the object, engine exceptions becoming host ones.
template <class Read>
PyObject* read_game(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(as_game(self)->borrow);
        if (!borrow) return nullptr;
        return read(std::as_const(as_game(self)->game));
    });
}

// Runs write(game) under the exclusive borrow of the object, engine exceptions becoming host
// ones.
template <class Write>
PyObject* write_game(PyObject* self, Write&& write) {
    return guarded([&]() -> PyObject* {
        ExclusiveBorrow borrow(as_game(self)->borrow);
        if (!borrow) return nullptr;
        return write(as_game(self)->game);
    });
}

// The class PyKrodan, created on first need and kept for the life of the process; nullptr with
// an exception set if its creation fails.
PyTypeObject* game_type();

// A new PyKrodan holding a copy of `game`, with a free borrow flag.
PyObject* wrap_game(const Game& game);

// Members, in the order of the class's definition.
PyObject* game_reset(PyObject* self, PyObject*);
PyObject* game_copy(PyObject* self, PyObject*);
PyObject* game_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_to_bytes(PyObject* self, PyObject*);
PyObject* game_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* game_render(PyObject* self, PyObject*);
PyObject* game_agents(PyObject* self, void*);
PyObject* game_agent_selection(PyObject* self, void*);
PyObject* game_terminations(PyObject* self, void*);
PyObject* game_rewards(PyObject* self, void*);
PyObject* game_scores(PyObject* self, void*);
PyObject* game_is_over(PyObject* self, void*);
PyObject* game_ply(PyObject* self, void*);

}  // namespace krodan::python
