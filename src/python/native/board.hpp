#pragma once
// The board of a PyKrodan for people, from its state string: the text (coloured, or plain with
// each agent's digit) and the owner of every cell, without numpy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

// board_text(game, /, *, colour=True)
PyObject* native_board_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* native_owner_grid(PyObject* module, PyObject* game);

}  // namespace krodan::python
