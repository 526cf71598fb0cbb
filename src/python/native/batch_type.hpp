#pragma once
// The class GameBatch of krodan_rl._native: a batch of games behind the host's calling
// conventions. Arguments are converted and checked with the interpreter lock held; the games are
// stepped with it released. A second call while one runs is refused at once.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

// The class, created on first need and kept for the life of the process.
PyTypeObject* batch_type();

// A new dict of the constructor's parameters and a default batch's options, by name.
PyObject* batch_defaults();

}  // namespace krodan::python
