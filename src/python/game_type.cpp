// The class PyKrodan: its constructor, deallocation, member tables and class attributes.

#include <array>

#include "game/actions/action_table.hpp"
#include "game/pieces/piece.hpp"
#include "game/scoring.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/game_object.hpp"
#include "python/signatures.hpp"

namespace krodan::python {
namespace {

using namespace signatures;

PyObject* alloc_game(PyTypeObject* type, const Game& game) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_game(self)->game) Game(game);
    new (&as_game(self)->borrow) BorrowFlag();
    return self;
}

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!bind_arguments(NEW, args, kwargs, {})) return nullptr;
    return guarded([&]() -> PyObject* { return alloc_game(type, new_game()); });
}

void game_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_game(self)->~GameObject();
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int ONE_ARGUMENT = METH_FASTCALL | METH_KEYWORDS;

template <class F>
constexpr PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"reset", game_reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"copy", game_copy, METH_NOARGS, "copy($self)\n--\n\nAn independent copy of the game."},
    {"__copy__", game_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", method(game_deepcopy), ONE_ARGUMENT, "__deepcopy__($self, _memo)\n--\n\n"},
    {"__getstate__", game_to_bytes, METH_NOARGS,
     "__getstate__($self)\n--\n\nPickles the game as its `to_bytes` state."},
    {"__setstate__", method(game_setstate), ONE_ARGUMENT, "__setstate__($self, state)\n--\n\n"},
    {"to_bytes", game_to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe game state as bytes, restore it with `from_bytes`."},
    {"from_bytes", method(game_from_bytes), ONE_ARGUMENT | METH_STATIC, "from_bytes(data)\n--\n\n"},
    {"outcome", method(game_outcome), ONE_ARGUMENT,
     "outcome($self, mode)\n--\n\nThe final rewards in `mode`, one of `reward_modes`, None until "
     "the game is over."},
    {"observe", method(game_observe), ONE_ARGUMENT, "observe($self, agent_idx)\n--\n\n"},
    {"step", method(game_step), ONE_ARGUMENT, "step($self, action_idx)\n--\n\n"},
    {"render", game_render, METH_NOARGS, "render($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"agents", game_agents, nullptr, nullptr, nullptr},
    {"agent_selection", game_agent_selection, nullptr, nullptr, nullptr},
    {"terminations", game_terminations, nullptr, nullptr, nullptr},
    {"rewards", game_rewards, nullptr,
     "The score of every agent that is done, None for the others.", nullptr},
    {"scores", game_scores, nullptr, "Every agent's official score as if the game ended now.",
     nullptr},
    {"is_over", game_is_over, nullptr, nullptr, nullptr},
    {"ply", game_ply, nullptr, "The number of placements made so far, by all agents.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_doc, const_cast<char*>("PyKrodan()\n--\n\n")},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

// Not a base type, no instance dict or weak references, not tracked by the cycle collector: a
// game holds no references to other objects.
PyType_Spec spec = {"krodan_rl._krodan.PyKrodan", sizeof(GameObject), 0, Py_TPFLAGS_DEFAULT, slots};

template <class Names>
Ref tuple_of_names(const Names& names) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name =
            PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

bool set_class_attributes(PyObject* type) {
    Ref num_actions(PyLong_FromSize_t(NUM_ACTIONS));
    Ref grid(Py_BuildValue("(iii)", NUM_ACTIONS / NUM_CELLS, BOARD_ROWS, BOARD_COLS));
    Ref reward_modes = tuple_of_names(REWARD_MODE_NAMES);
    Ref piece_names = tuple_of_names(PIECE_NAMES);
    return num_actions && grid && reward_modes && piece_names &&
           PyObject_SetAttrString(type, "num_actions", num_actions.get()) == 0 &&
           PyObject_SetAttrString(type, "action_grid_shape", grid.get()) == 0 &&
           PyObject_SetAttrString(type, "reward_modes", reward_modes.get()) == 0 &&
           PyObject_SetAttrString(type, "piece_names", piece_names.get()) == 0;
}

}  // namespace

PyTypeObject* game_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        Ref created(PyType_FromSpec(&spec));
        if (!created || !set_class_attributes(created.get())) return nullptr;
        type = created.release();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* wrap_game(const Game& game) {
    PyTypeObject* type = game_type();
    return type != nullptr ? alloc_game(type, game) : nullptr;
}

}  // namespace krodan::python
