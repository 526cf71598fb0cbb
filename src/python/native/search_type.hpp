#pragma once
// The class GuidedSearch of krodan_rl._native: the batched tree search guided by the caller's
// evaluations, behind the host's calling conventions; krodan_rl.search gives it its typed
// class. Trees are walked with the interpreter lock released.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

// The class, created on first need and kept for the life of the process.
PyTypeObject* search_type();

// The named tuples of visit_counts() and policy(), likewise.
PyTypeObject* visit_counts_type();
PyTypeObject* visit_policy_type();

// A new dict of the constructor's parameters and a default search's options, by name.
PyObject* search_defaults();

}  // namespace krodan::python
