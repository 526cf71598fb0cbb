#pragma once
// A call into a native object that one thread at a time may make: it holds the object's busy
// flag for its length, refuses at once with RuntimeError when another thread holds it, and
// turns engine exceptions into host ones.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/borrow_flag.hpp"
#include "python/errors.hpp"

namespace krodan::python {

template <class Body>
PyObject* exclusive_call(BorrowFlag& busy, const char* busy_message, Body&& body) {
    return guarded([&]() -> PyObject* {
        if (!busy.try_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, busy_message);
            return nullptr;
        }
        struct Release {
            BorrowFlag& flag;
            ~Release() { flag.release_exclusive(); }
        } release{busy};
        return body();
    });
}

}  // namespace krodan::python
