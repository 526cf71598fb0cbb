#include "python/native/board.hpp"

#include "game/owner_grid.hpp"
#include "game/text_board.hpp"
#include "python/errors.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/game_of.hpp"

namespace krodan::python {
namespace {

// The keyword arguments of board_text(): `colour` alone, or nothing.
bool colour_argument(PyObject* const* values, PyObject* kwnames, bool& colour) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "colour") != 0) {
            PyErr_Format(PyExc_TypeError, "board_text() got an unexpected keyword argument '%S'",
                         name);
            return false;
        }
        if (!to_flag(values[i], "colour", colour)) return false;
    }
    return true;
}

}  // namespace

PyObject* native_board_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1)
        return PyErr_Format(PyExc_TypeError,
                            "board_text() takes exactly one positional argument (%zd given)",
                            nargs);
    bool colour = true;
    if (!colour_argument(args + nargs, kwnames, colour)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto g = game_of(args[0]);
        if (!g) return nullptr;
        const std::string text = render_text(*g, colour);
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
