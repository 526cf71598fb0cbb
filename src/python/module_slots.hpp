#pragma once
// The slots of every native module of the package: multi-phase initialisation through `Exec`,
// and the declaration that the module does not need the global interpreter lock (its objects
// guard themselves with borrow flags) on the interpreters that ask.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace krodan::python {

template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace krodan::python
