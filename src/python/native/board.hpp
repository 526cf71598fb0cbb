#pragma once
// The board of a PyKrodan for people, from its state string: the coloured text and the owner of
// every cell, without numpy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

PyObject* native_board_text(PyObject* module, PyObject* game);
PyObject* native_owner_grid(PyObject* module, PyObject* game);

}  // namespace krodan::python
