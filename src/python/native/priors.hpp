#pragma once
// legal_softmax(logits, offsets, priors): a network's logits at the legal actions of each
// leaf turned into the priors a search takes, written into the caller's buffer.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

PyObject* native_legal_softmax(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

}  // namespace krodan::python
