// Agent: constructor, decisions, searches, the streams' state for pickling, and whole games
// played among agents.

#include "python/native/agent_type.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "game/apply_action.hpp"
#include "python/arguments.hpp"
#include "python/borrow_flag.hpp"
#include "python/errors.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/exclusive_call.hpp"
#include "python/native/game_of.hpp"
#include "python/native/interruptible.hpp"
#include "python/native/limits.hpp"
#include "python/native/without_lock.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 7> OPTIONS = {"kind",    "seed",  "simulations", "c",
                                                       "rollout", "trees", "reward_mode"};
inline constexpr std::array<const char*, 1> GAME = {"game"};
inline constexpr std::array<const char*, 1> DATA = {"data"};
inline constexpr std::array<const char*, 4> PLAY_ARGS = {"games", "streams", "num_threads",
                                                         "placements"};
inline constexpr Signature NEW{"Agent()", OPTIONS};
inline constexpr Signature ACT{"Agent.act()", GAME};
inline constexpr Signature SEARCH{"Agent.search()", GAME};
inline constexpr Signature SET_STREAMS{"Agent.set_streams()", DATA};
inline constexpr Signature PLAY_GAMES{"play_games()", PLAY_ARGS};

constexpr std::size_t STREAM_BYTES = 32;
// Streams are made up to the highest index asked for, 32 bytes each.
constexpr std::uint64_t MAX_STREAM = std::uint64_t{1} << 26;

// Every field is valid zeroed, as the allocator leaves it.
struct AgentObject {
    PyObject ob_base;
    Agent* agent;           // owned
    AgentScratch* scratch;  // owned: the memory of decisions made through this object
    BorrowFlag busy;
};

AgentObject* as_agent(PyObject* self) {
    return reinterpret_cast<AgentObject*>(self);
}

constexpr const char* BUSY =
    "this agent is deciding in another thread; one agent makes one decision at a time";

PyObject* busy_error() {
    PyErr_SetString(PyExc_RuntimeError, BUSY);
    return nullptr;
}

// Runs body(object) while holding the agent's busy flag.
template <class Body>
PyObject* with_agent(PyObject* self, Body&& body) {
    AgentObject* a = as_agent(self);
    return exclusive_call(a->busy, BUSY, [&] { return body(*a); });
}

PyObject* agent_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, OPTIONS.size()> a{};
    if (!bind_arguments(NEW, args, kwargs, a)) return nullptr;
    AgentConfig config;
    std::string_view kind_name, rollout_name, mode_name;
    std::uint64_t simulations, trees;
    if (!to_utf8(a[0], "kind", kind_name) || !to_u64(a[1], "seed", config.seed) ||
        !to_bounded(a[2], "simulations", 1, MAX_SIMULATIONS, simulations) ||
        !to_utf8(a[4], "rollout", rollout_name) ||
        !to_bounded(a[5], "trees", 1, MAX_TREES, trees) || !to_utf8(a[6], "reward_mode", mode_name))
        return nullptr;
    const double c = PyFloat_AsDouble(a[3]);
    if (c == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(c) || c < 0)
        return PyErr_Format(PyExc_ValueError, "c must be a finite number >= 0");
    const auto kind = agent_kind_named(kind_name);
    if (!kind) return raise_text(PyExc_ValueError, "Unknown agent kind ", kind_name);
    const auto rollout = rollout_named(rollout_name);
    if (!rollout) return raise_text(PyExc_ValueError, "Unknown rollout policy ", rollout_name);
    const auto mode = reward_mode_named(mode_name);
    if (!mode) return raise_text(PyExc_ValueError, UNKNOWN_REWARD_MODE, mode_name);
    config.kind = *kind;
    config.search = {.simulations = static_cast<std::uint32_t>(simulations),
                     .c = c,
                     .trees = static_cast<unsigned>(trees),
                     .reward_mode = *mode};
    config.rollout = *rollout;

    return guarded([&]() -> PyObject* {
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        AgentObject* agent = as_agent(self.get());
        new (&agent->busy) BorrowFlag();
        agent->agent = new Agent(config);
        agent->scratch = new AgentScratch();
        agent->agent->reserve_streams(1);
        return self.release();
    });
}

void agent_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    AgentObject* a = as_agent(self);
    delete std::exchange(a->agent, nullptr);
    delete std::exchange(a->scratch, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* agent_act(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* game_arg;
    if (!bind_arguments(ACT, args, nargs, kwnames, {&game_arg, 1})) return nullptr;
    const auto game = game_of(game_arg);
    if (!game) return nullptr;
    return with_agent(self, [&](AgentObject& a) -> PyObject* {
        const auto action = without_lock([&] { return a.agent->act(*game, 0, *a.scratch, true); });
        if (!action) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(*action);
    });
}

PyObject* int32_bytes(const std::vector<std::int32_t>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * 4));
}

// A search's root as a named tuple: SearchRoot.
PyStructSequence_Field root_fields[] = {
    {"action", "The most visited action, ties to the lowest."},
    {"actions", "The mover's legal actions, ascending, as int32 bytes."},
    {"visits", "Their visits, int32 bytes."},
    {"tree_nodes", "The nodes of the largest tree grown."},
    {"tree_bytes", "The bytes reserved for that tree's nodes and child lists."},
    {nullptr, nullptr},
};

PyStructSequence_Desc root_desc = {"krodan_rl._native.SearchRoot",
                                   "The root of a tree search, as Agent.search() gives it.",
                                   root_fields, 5};

PyObject* agent_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* game_arg;
    if (!bind_arguments(SEARCH, args, nargs, kwnames, {&game_arg, 1})) return nullptr;
    const auto game = game_of(game_arg);
    if (!game) return nullptr;
    return with_agent(self, [&](AgentObject& a) -> PyObject* {
        if (a.agent->config().kind != AgentKind::mcts) {
            PyErr_SetString(PyExc_TypeError, "only a tree-search agent searches");
            return nullptr;
        }
        const auto found =
            without_lock([&] { return a.agent->search(*game, 0, *a.scratch, true); });
        if (!found) Py_RETURN_NONE;
        PyTypeObject* type = search_root_type();
        if (type == nullptr) return nullptr;
        Ref root(PyStructSequence_New(type));
        if (!root) return nullptr;
        // Each item made only once the one before is in: an error stops at once.
        const auto put = [&](Py_ssize_t i, PyObject* item) {
            if (item != nullptr) PyStructSequence_SetItem(root.get(), i, item);  // steals it
            return item != nullptr;
        };
        if (!put(0, PyLong_FromLong(most_visited(*found))) ||
            !put(1, int32_bytes(found->actions)) || !put(2, int32_bytes(found->visits)) ||
            !put(3, PyLong_FromSize_t(found->nodes)) || !put(4, PyLong_FromSize_t(found->bytes)))
            return nullptr;
        return root.release();
    });
}

// The streams as bytes: four little-endian 64-bit words each, so that a pickle moves between
// machines.
PyObject* agent_get_streams(PyObject* self, PyObject*) {
    return with_agent(self, [&](AgentObject& a) -> PyObject* {
        const auto& streams = a.agent->streams();
        Ref data(PyBytes_FromStringAndSize(nullptr,
                                           static_cast<Py_ssize_t>(streams.size() * STREAM_BYTES)));
        if (!data) return nullptr;
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
        for (const Generator& g : streams)
            for (std::uint64_t word : g.state())
                for (int b = 0; b < 8; ++b) *out++ = static_cast<unsigned char>(word >> (8 * b));
        return data.release();
    });
}

PyObject* agent_set_streams(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* data_arg;
    if (!bind_arguments(SET_STREAMS, args, nargs, kwnames, {&data_arg, 1})) return nullptr;
    return with_agent(self, [&](AgentObject& a) -> PyObject* {
        std::string_view data;
        if (!to_bytes(data_arg, "data", data)) return nullptr;
        if (data.empty() || data.size() % STREAM_BYTES != 0)
            return PyErr_Format(PyExc_ValueError,
                                "data must hold one or more streams of %zu bytes each",
                                STREAM_BYTES);
        std::vector<Generator> streams(data.size() / STREAM_BYTES);
        const auto* in = reinterpret_cast<const unsigned char*>(data.data());
        for (Generator& g : streams) {
            std::array<std::uint64_t, 4> state{};
            for (std::uint64_t& word : state)
                for (int b = 0; b < 8; ++b) word |= std::uint64_t{*in++} << (8 * b);
            // The all-zero state would give zeros for ever: no generator reaches it.
            if (state == std::array<std::uint64_t, 4>{})
                return PyErr_Format(PyExc_ValueError, "data holds an all-zero stream");
            g.set_state(state);
        }
        a.agent->set_streams(std::move(streams));
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    {"act", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agent_act)),
     METH_FASTCALL | METH_KEYWORDS,
     "act($self, game)\n--\n\nThe action of the mover of a PyKrodan, in its frame; None when "
     "it is done."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agent_search)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, game)\n--\n\nA SearchRoot (action, actions, visits, tree_nodes, "
     "tree_bytes) of a tree search, actions and visits as int32 bytes; None when the mover is "
     "done."},
    {"get_streams", agent_get_streams, METH_NOARGS,
     "get_streams($self)\n--\n\nThe state of every random stream, as bytes."},
    {"set_streams", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agent_set_streams)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_streams($self, data)\n--\n\nRestores the streams from get_streams()."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(agent_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(agent_dealloc)},
    {Py_tp_doc, const_cast<char*>("Agent(kind, seed, simulations, c, rollout, trees, "
                                  "reward_mode)\n--\n\nA built-in agent; AGENT_DEFAULTS holds "
                                  "a default agent's options, and krodan_rl.agents gives its "
                                  "typed classes.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"krodan_rl._native.Agent", sizeof(AgentObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* agent_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* search_root_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = PyStructSequence_NewType(&root_desc);
    return type;
}

PyObject* agent_defaults() {
    const AgentConfig d;
    const auto name = [](auto names, auto value) {
        const std::string_view text = names[static_cast<std::size_t>(value)];
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    };
    return Py_BuildValue("{s:N,s:K,s:k,s:d,s:N,s:I,s:N}", "kind", name(AGENT_KIND_NAMES, d.kind),
                         "seed", static_cast<unsigned long long>(d.seed), "simulations",
                         static_cast<unsigned long>(d.search.simulations), "c", d.search.c,
                         "rollout", name(ROLLOUT_NAMES, d.rollout), "trees", d.search.trees,
                         "reward_mode", name(REWARD_MODE_NAMES, d.search.reward_mode));
}

HeldAgents::~HeldAgents() {
    for (PyObject* obj : held_) as_agent(obj)->busy.release_exclusive();
}

Agent* HeldAgents::take(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, agent_type())) {
        PyErr_Format(PyExc_TypeError, "expected a built-in agent, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    if (std::find(held_.begin(), held_.end(), obj) == held_.end()) {
        if (!as_agent(obj)->busy.try_exclusive()) {
            busy_error();
            return nullptr;
        }
        held_.push_back(obj);
    }
    return as_agent(obj)->agent;
}

bool to_seats(PyObject* obj, const char* name, HeldAgents& held, Seats& out) {
    Ref seq(PySequence_Fast(obj, name));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != NUM_AGENTS) {
        PyErr_Format(PyExc_ValueError, "%s must hold exactly %u agents", name, NUM_AGENTS);
        return false;
    }
    for (unsigned m = 0; m < NUM_AGENTS; ++m) {
        out[m] = held.take(PySequence_Fast_GET_ITEM(seq.get(), m));
        if (out[m] == nullptr) return false;
    }
    return true;
}

bool to_opponents(PyObject* obj, const char* name, HeldAgents& held, Opponents& out) {
    Ref seq(PySequence_Fast(obj, name));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != static_cast<Py_ssize_t>(out.size())) {
        PyErr_Format(PyExc_ValueError, "%s must hold exactly %zu entries", name, out.size());
        return false;
    }
    for (std::size_t j = 0; j < out.size(); ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(j));
        out[j] = item == Py_None ? nullptr : held.take(item);
        if (item != Py_None && out[j] == nullptr) return false;
    }
    return true;
}

PyObject* native_play_games(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, PLAY_ARGS.size()> a{};
    if (!bind_arguments(PLAY_GAMES, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::uint64_t num_threads;
        if (!to_bounded(a[2], "num_threads", 0, 1024, num_threads)) return nullptr;
        Ref games(PySequence_Fast(a[0], "games must be a sequence of four-agent sequences"));
        if (!games) return nullptr;
        Ref streams(PySequence_Fast(a[1], "streams must be a sequence of stream indices"));
        if (!streams) return nullptr;
        const std::size_t count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(games.get()));
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(streams.get())) != count)
            return PyErr_Format(PyExc_ValueError, "streams must hold one index per game");
        HeldAgents held;
        std::vector<Seats> seats(count);
        std::vector<std::uint64_t> indices(count);
        for (std::size_t k = 0; k < count; ++k) {
            const auto at = static_cast<Py_ssize_t>(k);
            if (!to_seats(PySequence_Fast_GET_ITEM(games.get(), at), "each game", held, seats[k]) ||
                !to_bounded(PySequence_Fast_GET_ITEM(streams.get(), at), "stream index", 0,
                            MAX_STREAM, indices[k]))
                return nullptr;
        }
        if (const auto shared = shared_stream(seats, indices))
            return PyErr_Format(PyExc_ValueError,
                                "games %zu and %zu would draw from one stream of one agent at "
                                "once",
                                shared->first, shared->second);
        std::span<std::int32_t> record;
        std::optional<BufferArg> placements;
        if (a[3] != nullptr && a[3] != Py_None) {
            placements.emplace(a[3], "placements", PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
            if (!placements->check(static_cast<Py_ssize_t>(count * MAX_PLACEMENTS), "i"))
                return nullptr;
            record = {static_cast<std::int32_t*>(placements->data()), count * MAX_PLACEMENTS};
        }
        std::vector<Scores> scores(count);
        const bool played = interruptible([&](const std::atomic<bool>& stop) {
            WorkerPool pool(static_cast<unsigned>(num_threads));
            std::vector<AgentScratch> scratch(pool.num_threads());
            play_games(seats, indices, pool, scratch, scores, record, &stop);
        });
        if (!played) return nullptr;
        static_assert(sizeof(Scores) == NUM_AGENTS * sizeof(std::int16_t));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(scores.data()),
                                         static_cast<Py_ssize_t>(count * sizeof(Scores)));
    });
}

}  // namespace krodan::python
