#include "python/native/board.hpp"

#include <optional>
#include <variant>

#include "game/owner_grid.hpp"
#include "game/state_string.hpp"
#include "game/text_board.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

// The game a PyKrodan holds, read through its state string (the only way this module reads
// one), or nothing with an exception set.
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

}  // namespace

PyObject* native_board_text(PyObject*, PyObject* game) {
    return guarded([&]() -> PyObject* {
        const auto g = game_of(game);
        if (!g) return nullptr;
        const std::string text = render_text(*g);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* native_owner_grid(PyObject*, PyObject* game) {
    return guarded([&]() -> PyObject* {
        const auto g = game_of(game);
        if (!g) return nullptr;
        const OwnerGrid grid = owner_grid(*g);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(grid.data()),
                                         static_cast<Py_ssize_t>(grid.size()));
    });
}

}  // namespace krodan::python
