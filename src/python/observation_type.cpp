// The class PyObservation: created only by PyKrodan.observe, never from the host. Each property
// read copies one buffer into a new bytes object.

#include "python/observation_object.hpp"

#include <new>

#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"
#include "python/raised_exception.hpp"

namespace krodan::python {
namespace {

struct ObservationObject {
    PyObject ob_base;  // the object header
    ObservationBytes buffers;
    BorrowFlag borrow;
};

ObservationObject* as_observation(PyObject* self) {
    return reinterpret_cast<ObservationObject*>(self);
}

void observation_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_observation(self)->~ObservationObject();
    type->tp_free(self);
    Py_DECREF(type);
}

// The getter of one buffer; the closure is the buffer's member pointer.
using Buffer = std::vector<std::uint8_t> ObservationBytes::*;

PyObject* read_buffer(PyObject* self, void* closure) {
    ObservationObject* obs = as_observation(self);
    SharedBorrow borrow(obs->borrow);
    if (!borrow) return nullptr;
    const auto& buffer = obs->buffers.*(*static_cast<const Buffer*>(closure));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                     static_cast<Py_ssize_t>(buffer.size()));
}

const Buffer OBSERVATION = &ObservationBytes::observation;
const Buffer CORNERS = &ObservationBytes::corners;
const Buffer BLOCKED = &ObservationBytes::blocked;
const Buffer PIECES = &ObservationBytes::pieces;
const Buffer DONE = &ObservationBytes::done;
const Buffer ACTION_MASK = &ObservationBytes::action_mask;

void* closure(const Buffer& buffer) {
    return const_cast<Buffer*>(&buffer);
}

PyGetSetDef properties[] = {
    {"observation", read_buffer, nullptr, "The occupied cells in (agent, row, col) order.",
     closure(OBSERVATION)},
    {"corners", read_buffer, nullptr,
     "The cells each agent's next piece can attach to, in (agent, row, col) order.",
     closure(CORNERS)},
    {"blocked", read_buffer, nullptr,
     "The cells each agent can never fill, in (agent, row, col) order.", closure(BLOCKED)},
    {"pieces", read_buffer, nullptr, "The pieces each agent still has, in (agent, piece) order.",
     closure(PIECES)},
    {"done", read_buffer, nullptr, "Whether each agent is out of moves.", closure(DONE)},
    {"action_mask", read_buffer, nullptr, "The action mask over the flattened action grid.",
     closure(ACTION_MASK)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(observation_dealloc)},
    {Py_tp_doc, const_cast<char*>("An observation as bytes of 0/1, cheap to wrap with "
                                  "`numpy.frombuffer`. Agents are in\nagent-relative order, see "
                                  "`Observation`.")},
    {Py_tp_getset, properties},
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
    RaisedException failed;
    Ref exited(PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (failed) {
        failed.restore();
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

PyObject* wrap_observation(ObservationBytes&& buffers) {
    PyTypeObject* type = observation_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_observation(self)->buffers) ObservationBytes(std::move(buffers));
    new (&as_observation(self)->borrow) BorrowFlag();
    return self;
}

}  // namespace krodan::python
