// The class PyObservation: created only by PyKrodan.observe, never from the host.

#include "python/observation_object.hpp"

#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

struct ObservationObject {
    PyObject_HEAD
};

void observation_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(observation_dealloc)},
    {Py_tp_doc, const_cast<char*>("An observation as bytes of 0/1, cheap to wrap with "
                                  "`numpy.frombuffer`. Agents are in\nagent-relative order, see "
                                  "`Observation`.")},
    {0, nullptr},
};

PyType_Spec spec = {"PyObservation", sizeof(ObservationObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

// The type without a module name. The host warns (DeprecationWarning) about a type created
// without one, which would fail the import wherever warnings are errors, so the warning is
// silenced around the creation.
PyObject* create_type() {
    Ref warnings(PyImport_ImportModule("warnings"));
    if (!warnings) return nullptr;
    Ref context(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!context) return nullptr;
    Ref entered(PyObject_CallMethod(context.get(), "__enter__", nullptr));
    if (!entered) return nullptr;
    Ref filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                     PyExc_DeprecationWarning));
    Ref type(filtered ? PyType_FromSpec(&spec) : nullptr);
    PyObject *error_type, *error, *traceback;
    PyErr_Fetch(&error_type, &error, &traceback);
    Ref exited(PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (error_type != nullptr) {
        PyErr_Restore(error_type, error, traceback);
        return nullptr;
    }
    return exited ? type.release() : nullptr;
}

}  // namespace

PyTypeObject* observation_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace krodan::python
