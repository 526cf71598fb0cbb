#pragma once
// visit_policy(counts, offsets, temperature): a search's visit counts turned into its policy by
// the engine's one formula, for the searches whose counts reach Python by other ways.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

PyObject* native_visit_policy(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace krodan::python
