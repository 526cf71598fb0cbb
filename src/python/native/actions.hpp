#pragma once
// action_rows(): the action table described action by action, for krodan_rl.actions.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

PyObject* native_action_rows(PyObject* module, PyObject* unused);

}  // namespace krodan::python
