#pragma once
// The game a PyKrodan holds, read through its state string: the one way this module reads a
// game of the core module, whose surface it does not extend.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "game/game.hpp"

namespace krodan::python {

// The game of `obj`, which must be a PyKrodan, or nothing with an exception set.
std::optional<Game> game_of(PyObject* obj);

}  // namespace krodan::python
