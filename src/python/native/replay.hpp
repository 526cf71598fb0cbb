#pragma once
// replay_rows(states, actions, after, movers, over, scores): stored turns replayed by the engine
// for a dataset reader, writing into the caller's buffers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

PyObject* native_replay_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace krodan::python
