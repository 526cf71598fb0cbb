#pragma once
// The host object of the class PyObservation: the six buffers of one observation, a snapshot
// that refers to no game.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "game/observation.hpp"

namespace krodan::python {

// The class PyObservation, created on first need and kept for the life of the process; nullptr
// with an exception set if its creation fails.
PyTypeObject* observation_type();

// A new PyObservation that takes over the buffers; on failure they are released.
PyObject* wrap_observation(ObservationBytes&& buffers);

}  // namespace krodan::python
