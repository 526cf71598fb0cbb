#pragma once
// replay_rows(states, actions, after, movers, over, scores): stored turns replayed by the engine
// for a dataset reader, writing into the caller's buffers; and RowError, the refusal of one row
// of such a batch, which carries the row's index so that no caller reads it back from the text.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

namespace krodan::python {

// The class RowError (a ValueError), created on first need and kept for the life of the process.
PyObject* row_error();

// Sets RowError "row <row>: <reason>" with the attributes `row` and `reason`; returns nullptr.
PyObject* raise_row_error(std::size_t row, std::string_view reason);

PyObject* native_replay_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace krodan::python
