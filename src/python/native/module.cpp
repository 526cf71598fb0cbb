// The native module krodan_rl._native: what the package builds on the engine beyond the game
// class (the batch of games, its arrays, the engine's constants and the classes' default
// options), with its definition, slots and registration. It needs no numpy: arrays leave
// through the buffer protocol.

#include "game/actions/action_table.hpp"
#include "game/isa/instruction_set.hpp"
#include "game/observation.hpp"
#include "game/owner_grid.hpp"
#include "game/scoring.hpp"
#include "game/state_string.hpp"
#include "python/errors.hpp"
#include "python/module_slots.hpp"
#include "python/native/actions.hpp"
#include "python/native/agent_type.hpp"
#include "python/native/array_type.hpp"
#include "python/native/batch_type.hpp"
#include "python/native/board.hpp"
#include "python/native/limits.hpp"
#include "python/native/priors.hpp"
#include "python/native/replay.hpp"
#include "python/native/search_type.hpp"
#include "python/native/visit_policy.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

int add_constants(PyObject* module) {
    Ref observation_shape(Py_BuildValue("(iii)", 3 * NUM_AGENTS, BOARD_ROWS, BOARD_COLS));
    if (!observation_shape) return -1;
    if (PyModule_AddIntConstant(module, "BOARD_SIZE", BOARD_ROWS) < 0 ||
        PyModule_AddIntConstant(module, "NUM_AGENTS", NUM_AGENTS) < 0 ||
        PyModule_AddIntConstant(module, "NUM_PIECES", NUM_PIECES) < 0 ||
        PyModule_AddIntConstant(module, "NUM_ACTIONS", NUM_ACTIONS) < 0 ||
        PyModule_AddIntConstant(module, "STATE_SIZE", STATE_SIZE) < 0 ||
        PyModule_AddIntConstant(module, "NO_OWNER", NO_OWNER) < 0 ||
        PyModule_AddIntConstant(module, "LOWEST_SCORE", LOWEST_SCORE) < 0 ||
        PyModule_AddIntConstant(module, "HIGHEST_SCORE", HIGHEST_SCORE) < 0 ||
        PyModule_AddIntConstant(module, "MAX_GAMES", MAX_GAMES) < 0 ||
        PyModule_AddIntConstant(module, "MAX_THREADS", MAX_THREADS) < 0 ||
        PyModule_AddIntConstant(module, "MAX_SIMULATIONS", MAX_SIMULATIONS) < 0 ||
        PyModule_AddIntConstant(module, "MAX_TREES", MAX_TREES) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "OBSERVATION_SHAPE", observation_shape.get());
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// A class's default options, read-only: the Python package's option records take their
// defaults from here, so that they are written once, in the engine's option structs.
int add_defaults(PyObject* module, const char* name, PyObject* defaults) {
    Ref dict(defaults);
    if (!dict) return -1;
    Ref proxy(PyDictProxy_New(dict.get()));
    if (!proxy) return -1;
    return PyModule_AddObjectRef(module, name, proxy.get());
}

int add_classes(PyObject* module) {
    if (add_type(module, "NativeArray", array_type()) < 0 ||
        add_type(module, "Agent", agent_type()) < 0 ||
        add_type(module, "SearchRoot", search_root_type()) < 0 ||
        add_type(module, "GuidedSearch", search_type()) < 0 ||
        add_type(module, "VisitCounts", visit_counts_type()) < 0 ||
        add_type(module, "VisitPolicy", visit_policy_type()) < 0 ||
        add_type(module, "GameBatch", batch_type()) < 0)
        return -1;
    PyObject* row = row_error();
    return row == nullptr ? -1 : PyModule_AddObjectRef(module, "RowError", row);
}

PyObject* native_instruction_set(PyObject*, PyObject*) {
    const std::string_view name = running_instruction_set_name();
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The choice of instruction set is made here, at import; a value of KRODAN_RL_ISA that cannot
// be followed is said once, as a warning, and the best available set runs instead.
int warn_of_refused_instruction_set() {
    const IsaChoice& choice = running_choice();
    if (choice.warning.empty()) return 0;
    return PyErr_WarnEx(PyExc_RuntimeWarning, choice.warning.c_str(), 1);
}

int exec_module(PyObject* module) {
    if (panic_exception() == nullptr) return -1;
    if (warn_of_refused_instruction_set() < 0) return -1;
    if (add_constants(module) < 0 || add_classes(module) < 0) return -1;
    if (add_defaults(module, "AGENT_DEFAULTS", agent_defaults()) < 0 ||
        add_defaults(module, "SEARCH_DEFAULTS", search_defaults()) < 0)
        return -1;
    return add_defaults(module, "BATCH_DEFAULTS", batch_defaults());
}

PyMethodDef functions[] = {
    {"board_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_board_text)),
     METH_FASTCALL | METH_KEYWORDS,
     "board_text($module, game, /, *, colour=True)\n--\n\nThe board of a PyKrodan without the "
     "final line feed: 41 lines, each covered cell in its agent's background colour as its "
     "render() prints it, or without colour holding its agent's digit (0-3)."},
    {"owner_grid", native_owner_grid, METH_O,
     "owner_grid($module, game, /)\n--\n\n400 bytes, cell 20 * row + column of the board: the "
     "agent (0-3) "
     "covering it, or 255."},
    {"play_games", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_play_games)),
     METH_FASTCALL | METH_KEYWORDS,
     "play_games($module, games, streams, num_threads, placements)\n--\n\nPlays game k "
     "among the built-in agents of games[k] (four, by seat), each drawing from its stream "
     "streams[k], on num_threads threads (0: one per core); the final scores as int16 bytes, "
     "four per game. With an int32 buffer `placements` of NUM_AGENTS * NUM_PIECES entries per "
     "game, game k's placements are written there in the order played (each in its mover's "
     "frame, without the passes), the rest -1. A signal handler that raises (Ctrl-C) stops "
     "the games within a move and raises."},
    {"visit_policy",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_visit_policy)),
     METH_FASTCALL | METH_KEYWORDS,
     "visit_policy($module, counts, offsets, temperature)\n--\n\nThe policy of visit counts: "
     "for each row counts[offsets[i]:offsets[i + 1]] (int32 buffers), probabilities "
     "proportional to counts ** (1 / temperature) as float32 bytes in the same layout. "
     "Temperature 0 is one-hot on the most visited (ties to the first), 1 gives exactly "
     "float32(count / sum) computed in double; a row never visited is uniform."},
    {"legal_softmax",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_legal_softmax)),
     METH_FASTCALL | METH_KEYWORDS,
     "legal_softmax($module, logits, offsets, priors)\n--\n\nA network's logits at the legal "
     "actions of each leaf as the priors a search takes: for each row "
     "logits[offsets[i]:offsets[i + 1]] (float32; offsets int32), its softmax computed in "
     "double and written as float32 into the same places of the writable buffer priors (which "
     "may be logits itself)."},
    {"action_rows", native_action_rows, METH_NOARGS,
     "action_rows($module, /)\n--\n\nThe action table action by action, as bytes: each "
     "action's piece index (int8, -1 where it does not fit), its cells (int16, five a row, "
     "20 * row + column in the acting agent's frame, -1 pads), and each agent's frame cell's "
     "board cell (int16, 400 an agent)."},
    {"replay_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_replay_rows)),
     METH_FASTCALL | METH_KEYWORDS,
     "replay_rows($module, states, actions, after, movers, over, scores)\n--\n\nStored turns "
     "replayed: row k is state string k (states: uint8, 278 bytes a row) and the action its "
     "mover played (actions: int64). Writes the state after the turn and the passes that "
     "follow (after), the state's mover (movers: int8), whether the game is over (over: "
     "uint8) and the scores (scores: int16, four a row); RowError (a ValueError: 'row k: why', "
     "with row k and the reason as attributes) for the first state that is not a game in "
     "progress whose mover can move, or action that is not legal."},
    {"instruction_set", native_instruction_set, METH_NOARGS,
     "instruction_set($module, /)\n--\n\nThe instruction set the engine's hot loops run on in "
     "this process: 'baseline', 'x86-64-v3' or 'x86-64-v4', the most capable one built that "
     "the processor supports unless the environment variable KRODAN_RL_ISA (read once, at "
     "import) names another."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native capabilities beyond the game class: many games stepped per call, built-in agents, "
    "the board for people.",
    0,
    functions,
    MODULE_SLOTS<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace krodan::python

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&krodan::python::module_def);
}
