// PyKrodan's copying and saving members: one copy of the Game record for copy, __copy__ and
// __deepcopy__; the 278-byte state string for to_bytes, __getstate__, from_bytes, __setstate__
// and so for pickling through the host's default reduction.

#include <array>
#include <variant>

#include "game/state_string.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/game_object.hpp"
#include "python/signatures.hpp"

namespace krodan::python {
namespace {

using namespace signatures;

// The decoded game, or nullptr with ValueError set.
const Game* decoded_or_raise(const std::variant<Game, Refusal>& decoded) {
    if (const auto* refusal = std::get_if<Refusal>(&decoded)) {
        raise_text(PyExc_ValueError, refusal->message, {});
        return nullptr;
    }
    return &std::get<Game>(decoded);
}

}  // namespace

PyObject* game_copy(PyObject* self, PyObject*) {
    return read_game(self, [](const Game& game) { return wrap_game(game); });
}

PyObject* game_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* memo;
    if (!bind_arguments(DEEPCOPY, args, nargs, kwnames, {&memo, 1})) return nullptr;
    return game_copy(self, nullptr);
}

PyObject* game_to_bytes(PyObject* self, PyObject*) {
    return read_game(self, [](const Game& game) {
        const StateString state = encode_state(game);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state.data()),
                                         static_cast<Py_ssize_t>(state.size()));
    });
}

PyObject* game_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data_arg;
    if (!bind_arguments(FROM_BYTES, args, nargs, kwnames, {&data_arg, 1})) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string_view data;
        if (!to_bytes(data_arg, "data", data)) return nullptr;
        const auto decoded = decode_state(data);
        const Game* game = decoded_or_raise(decoded);
        return game != nullptr ? wrap_game(*game) : nullptr;
    });
}

PyObject* game_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* state_arg;
    if (!bind_arguments(SETSTATE, args, nargs, kwnames, {&state_arg, 1})) return nullptr;
    return write_game(self, [&](Game& game) -> PyObject* {
        std::string_view state;
        if (!to_bytes(state_arg, "state", state)) return nullptr;
        const auto decoded = decode_state(state);
        const Game* restored = decoded_or_raise(decoded);
        if (restored == nullptr) return nullptr;
        game = *restored;
        Py_RETURN_NONE;
    });
}

}  // namespace krodan::python
