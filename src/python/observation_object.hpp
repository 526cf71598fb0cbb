#pragma once
// The host object of the class PyObservation.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

// The class PyObservation, created on first need and kept for the life of the process; nullptr
// with an exception set if its creation fails.
PyTypeObject* observation_type();

}  // namespace krodan::python
