#include "python/native/game_of.hpp"

#include <variant>

#include "game/state_string.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {

std::optional<Game> game_of(PyObject* obj) {
    Ref core(PyImport_ImportModule("krodan_rl._krodan"));
    if (!core) return std::nullopt;
    Ref type(PyObject_GetAttrString(core.get(), "PyKrodan"));
    if (!type) return std::nullopt;
    // The exact class (it cannot be subclassed), not whatever claims it through __class__.
    if (!PyType_Check(type.get()) ||
        !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type.get()))) {
        PyErr_Format(PyExc_TypeError, "expected a PyKrodan, not %.100s", Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    Ref state(PyObject_CallMethod(obj, "to_bytes", nullptr));
    if (!state) return std::nullopt;
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(state.get(), &data, &size) < 0) return std::nullopt;
    auto decoded = decode_state({data, static_cast<std::size_t>(size)});
    if (const auto* refusal = std::get_if<Refusal>(&decoded)) {
        raise_internal_error(refusal->message, SourceLocation::current());
        return std::nullopt;
    }
    return std::get<Game>(decoded);
}

}  // namespace krodan::python
