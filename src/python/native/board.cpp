#include "python/native/board.hpp"

#include "game/owner_grid.hpp"
#include "game/text_board.hpp"
#include "python/errors.hpp"
#include "python/native/game_of.hpp"

namespace krodan::python {

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
