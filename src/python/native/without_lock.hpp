#pragma once
// Native work with the interpreter lock released, so that other Python threads run meanwhile.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

// Runs `work` with the interpreter lock released; it is taken back before anything is thrown on.
template <class Work>
auto without_lock(Work&& work) -> decltype(work()) {
    struct Relock {
        PyThreadState* state;
        ~Relock() { PyEval_RestoreThread(state); }
    } relock{PyEval_SaveThread()};
    return work();
}

}  // namespace krodan::python
