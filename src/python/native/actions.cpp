#include "python/native/actions.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "game/actions/action_rows.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

template <class T>
PyObject* bytes_of(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

}  // namespace

PyObject* native_action_rows(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::vector<std::int8_t> piece(NUM_ACTIONS);
        std::vector<std::int16_t> cells(NUM_ACTIONS * MAX_PIECE_CELLS);
        std::vector<std::int16_t> frame_to_board(NUM_AGENTS * NUM_CELLS);
        describe_actions({piece, cells, frame_to_board});
        Ref out(PyTuple_New(3));
        if (!out) return nullptr;
        const std::array<PyObject*, 3> parts = {bytes_of(piece), bytes_of(cells),
                                                bytes_of(frame_to_board)};
        for (std::size_t k = 0; k < parts.size(); ++k) {
            if (parts[k] == nullptr) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), parts[k]);
        }
        return out.release();
    });
}

}  // namespace krodan::python
