// The native module krodan_rl._krodan: its definition, slots and registration.

#include "python/errors.hpp"
#include "python/game_object.hpp"
#include "python/module_slots.hpp"
#include "python/observation_object.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

// Appends `name` to the module's __all__ (made first if missing) and sets the attribute.
int register_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "krodan_rl._krodan must be initialised as a module");
        return -1;
    }
    if (panic_exception() == nullptr) return -1;
    if (register_type(module, "PyKrodan", game_type()) < 0) return -1;
    return register_type(module, "PyObservation", observation_type());
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,     "_krodan", "",      0,       nullptr,
    MODULE_SLOTS<exec_module>, nullptr,   nullptr, nullptr,
};

}  // namespace
}  // namespace krodan::python

PyMODINIT_FUNC PyInit__krodan() {
    return PyModuleDef_Init(&krodan::python::module_def);
}
