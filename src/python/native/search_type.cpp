// GuidedSearch: constructor, the rounds of leaves and evaluations, and the roots' results.

#include "python/native/search_type.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "game/state_string.hpp"
#include "python/arguments.hpp"
#include "python/borrow_flag.hpp"
#include "python/errors.hpp"
#include "python/native/array_type.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/exclusive_call.hpp"
#include "python/native/game_of.hpp"
#include "python/native/limits.hpp"
#include "python/native/without_lock.hpp"
#include "python/owned_ref.hpp"
#include "search/batched_search.hpp"
#include "search/visit_policy.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 14> OPTIONS = {
    "num_games",      "simulations",  "c_puct",      "dirichlet_alpha", "dirichlet_fraction",
    "reward_mode",    "seed",         "num_threads", "dense_mask",      "root",
    "gumbel_actions", "gumbel_scale", "c_visit",     "c_scale"};
inline constexpr std::array<const char*, 2> START_ARGS = {"games", "seeds"};
inline constexpr std::array<const char*, 3> EXPAND_ARGS = {"priors", "dense", "values"};
inline constexpr std::array<const char*, 1> TEMPERATURE = {"temperature"};
inline constexpr std::array<const char*, 2> SELECT_ARGS = {"temperature", "out"};
inline constexpr std::array<const char*, 1> ACTIONS = {"actions"};
inline constexpr Signature NEW{"GuidedSearch()", OPTIONS};
inline constexpr Signature START{"GuidedSearch.start()", START_ARGS};
inline constexpr Signature EXPAND{"GuidedSearch.expand()", EXPAND_ARGS};
inline constexpr Signature POLICY{"GuidedSearch.policy()", TEMPERATURE};
inline constexpr Signature SELECT{"GuidedSearch.select()", SELECT_ARGS};
inline constexpr Signature ADVANCE{"GuidedSearch.advance()", ACTIONS};

// Every field is valid zeroed, as the allocator leaves it.
struct SearchObject {
    PyObject ob_base;
    GuidedSearch* search;  // owned
    BorrowFlag busy;
};

SearchObject* as_search(PyObject* self) {
    return reinterpret_cast<SearchObject*>(self);
}

// Runs body(search) while holding the object's busy flag.
template <class Body>
PyObject* with_search(PyObject* self, Body&& body) {
    SearchObject* s = as_search(self);
    return exclusive_call(s->busy,
                          "this search is running a call from another thread; calls into one "
                          "search must not overlap",
                          [&] { return body(*s->search); });
}

// The Gumbel root's options, a[9] to a[13].
bool to_gumbel_options(std::span<PyObject* const> a, GuidedSearchOptions& options) {
    std::string_view root_name;
    std::uint64_t actions;
    if (!to_utf8(a[0], "root", root_name) ||
        !to_bounded(a[1], "gumbel_actions", 1, MAX_GUMBEL_ACTIONS, actions) ||
        !to_real(a[2], "gumbel_scale", 0, HUGE_VAL, options.gumbel_scale) ||
        !to_real(a[3], "c_visit", 0, HUGE_VAL, options.sigma.c_visit) ||
        !to_real(a[4], "c_scale", 0, HUGE_VAL, options.sigma.c_scale))
        return false;
    for (const double x : {options.gumbel_scale, options.sigma.c_visit, options.sigma.c_scale}) {
        if (std::isinf(x)) {
            PyErr_SetString(PyExc_ValueError, "gumbel_scale, c_visit and c_scale must be finite");
            return false;
        }
    }
    const auto root = root_rule_named(root_name);
    if (!root) {
        PyErr_Format(PyExc_ValueError, "unknown root rule '%.*s'; expected 'puct' or 'gumbel'",
                     static_cast<int>(root_name.size()), root_name.data());
        return false;
    }
    options.root = *root;
    options.gumbel_actions = static_cast<std::uint32_t>(actions);
    return true;
}

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, OPTIONS.size()> a{};
    if (!bind_arguments(NEW, args, kwargs, a)) return nullptr;
    GuidedSearchOptions options;
    std::uint64_t num_games, simulations, num_threads;
    std::string_view mode_name;
    if (!to_bounded(a[0], "num_games", 1, MAX_GAMES, num_games) ||
        !to_bounded(a[1], "simulations", 1, MAX_SIMULATIONS, simulations) ||
        !to_real(a[2], "c_puct", 0, HUGE_VAL, options.c_puct) ||
        !to_real(a[3], "dirichlet_alpha", 0, HUGE_VAL, options.dirichlet_alpha) ||
        !to_real(a[4], "dirichlet_fraction", 0, 1, options.dirichlet_fraction) ||
        !to_utf8(a[5], "reward_mode", mode_name) || !to_u64(a[6], "seed", options.seed) ||
        !to_bounded(a[7], "num_threads", 0, MAX_THREADS, num_threads) ||
        !to_flag(a[8], "dense_mask", options.dense_mask) ||
        !to_gumbel_options(std::span<PyObject* const>(a).subspan(9), options))
        return nullptr;
    if (std::isinf(options.c_puct)) return PyErr_Format(PyExc_ValueError, "c_puct must be finite");
    if (options.dirichlet_fraction > 0 && !(options.dirichlet_alpha > 0))
        return PyErr_Format(PyExc_ValueError, "dirichlet_alpha must be above 0 for noise");
    const auto mode = reward_mode_named(mode_name);
    if (!mode) return raise_text(PyExc_ValueError, UNKNOWN_REWARD_MODE, mode_name);
    options.reward_mode = *mode;
    options.num_games = static_cast<std::size_t>(num_games);
    options.simulations = static_cast<std::uint32_t>(simulations);
    options.num_threads = static_cast<unsigned>(num_threads);
    return guarded([&]() -> PyObject* {
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        SearchObject* s = as_search(self.get());
        new (&s->busy) BorrowFlag();
        s->search = new GuidedSearch(options);
        return self.release();
    });
}

void search_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(as_search(self)->search, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

// ValueError "game i: [action a: ]reason".
PyObject* refusal_error(const SearchRefusal& refused, std::optional<std::int32_t> action) {
    std::string message = "game " + std::to_string(refused.game) + ": ";
    if (action) message += "action " + std::to_string(*action) + ": ";
    message += refused.reason;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

// A root: None (an idle slot), a PyKrodan, or a state string.
bool to_root(PyObject* obj, std::optional<Game>& out) {
    if (obj == Py_None) return true;
    if (!PyBytes_Check(obj)) {
        out = game_of(obj);
        return out.has_value();
    }
    std::string_view data;
    if (!to_bytes(obj, "state", data)) return false;
    auto decoded = decode_state(data);
    if (const auto* refusal = std::get_if<Refusal>(&decoded)) {
        raise_text(PyExc_ValueError, "", refusal->message);
        return false;
    }
    out = std::get<Game>(decoded);
    return true;
}

PyObject* search_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, START_ARGS.size()> a{};
    if (!bind_arguments(START, args, nargs, kwnames, a)) return nullptr;
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(search.size());
        Ref games(PySequence_Fast(a[0], "games must be a sequence"));
        if (!games) return nullptr;
        if (PySequence_Fast_GET_SIZE(games.get()) != n)
            return PyErr_Format(PyExc_ValueError, "games must hold %zd entries, one per slot", n);
        std::vector<std::optional<Game>> roots(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!to_root(PySequence_Fast_GET_ITEM(games.get(), i),
                         roots[static_cast<std::size_t>(i)]))
                return nullptr;
        std::vector<std::uint64_t> seeds;
        if (a[1] != Py_None) {
            BufferArg given(a[1], "seeds", PyBUF_C_CONTIGUOUS);
            if (!given.check(n, "QLK")) return nullptr;
            seeds.resize(static_cast<std::size_t>(n));
            std::memcpy(seeds.data(), given.data(), seeds.size() * 8);
        }
        const auto refused = without_lock([&] { return search.start(roots, seeds); });
        if (refused) return refusal_error(*refused, std::nullopt);
        Py_RETURN_NONE;
    });
}

PyObject* search_pending(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        const std::size_t count = without_lock([&] { return search.pending(); });
        return PyLong_FromSize_t(count);
    });
}

PyObject* search_leaves(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        const LeafArrays& out = search.leaves();
        const auto n = static_cast<Py_ssize_t>(search.size());
        constexpr Py_ssize_t agents = NUM_AGENTS, rows = BOARD_ROWS, cols = BOARD_COLS;
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        const bool ok =
            put_array(dict.get(), "observation", out.observation, {n, 3 * agents, rows, cols}) &&
            put_array(dict.get(), "pieces", out.pieces, {n, agents, NUM_PIECES}) &&
            put_array(dict.get(), "done", out.done, {n, agents}) &&
            put_array(dict.get(), "action_mask", out.action_mask,
                      {n, static_cast<Py_ssize_t>(NUM_ACTIONS)}, "?") &&
            put_array(dict.get(), "mover", out.mover, {n}) &&
            put_array(dict.get(), "game_index", out.game_index, {n}) &&
            put_array(dict.get(), "legal_actions", out.legal_actions,
                      {static_cast<Py_ssize_t>(out.legal_actions.size())}) &&
            put_array(dict.get(), "legal_offsets", out.legal_offsets, {n + 1});
        return ok ? dict.release() : nullptr;
    });
}

PyObject* search_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, EXPAND_ARGS.size()> a{};
    if (!bind_arguments(EXPAND, args, nargs, kwnames, a)) return nullptr;
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        const std::size_t count = search.num_pending();
        if (count == 0) {
            PyErr_SetString(PyExc_RuntimeError, "no leaf awaits an evaluation: call pending()");
            return nullptr;
        }
        bool dense;
        if (!to_flag(a[1], "dense", dense)) return nullptr;
        const auto listed = static_cast<std::size_t>(search.leaves().legal_offsets[count]);
        const std::size_t prior_count = dense ? count * NUM_ACTIONS : listed;
        BufferArg priors(a[0], "priors", PyBUF_C_CONTIGUOUS);
        BufferArg values(a[2], "values", PyBUF_C_CONTIGUOUS);
        if (!priors.check(static_cast<Py_ssize_t>(prior_count), "f") ||
            !values.check(static_cast<Py_ssize_t>(count * NUM_AGENTS), "f"))
            return nullptr;
        without_lock([&] {
            search.expand({static_cast<const float*>(priors.data()), prior_count}, dense,
                          {static_cast<const float*>(values.data()), count * NUM_AGENTS});
        });
        Py_RETURN_NONE;
    });
}

PyObject* search_done(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) { return PyBool_FromLong(search.done()); });
}

template <class T>
PyObject* bytes_of(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

bool roots_ready(const GuidedSearch& search) {
    if (search.roots_evaluated()) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "a root has not been evaluated yet: run pending() and expand() first");
    return false;
}

// The roots' results as named tuples: VisitCounts, and VisitPolicy with the probabilities.
PyStructSequence_Field visit_fields[] = {
    {"actions", "Each root's legal actions, ascending, as int32 bytes."},
    {"counts", "Their visits, int32 bytes; slot i's at [offsets[i], offsets[i + 1])."},
    {"offsets", "Where each slot's actions start, int32 bytes, num_games + 1 of them."},
    {"movers", "Each root's mover as int8 bytes; -1 for an idle or finished slot."},
    {"probs", "The visits' probabilities at the temperature asked, float32 bytes."},
    {nullptr, nullptr},
};
constexpr int VISIT_COUNT_FIELDS = 4;

PyStructSequence_Field counts_fields[] = {
    visit_fields[0], visit_fields[1], visit_fields[2], visit_fields[3], {nullptr, nullptr},
};

PyStructSequence_Desc counts_desc = {
    "krodan_rl._native.VisitCounts",
    "The roots' legal actions and their visits, as GuidedSearch.visit_counts() gives them.",
    counts_fields, VISIT_COUNT_FIELDS};
PyStructSequence_Desc policy_desc = {
    "krodan_rl._native.VisitPolicy",
    "The roots' visit counts and their probabilities, as GuidedSearch.policy() gives them.",
    visit_fields, VISIT_COUNT_FIELDS + 1};

// A VisitCounts, or a VisitPolicy with `probs`.
PyObject* visits_record(const VisitCounts& visits, const std::vector<float>* probs) {
    PyTypeObject* type = probs == nullptr ? visit_counts_type() : visit_policy_type();
    if (type == nullptr) return nullptr;
    Ref record(PyStructSequence_New(type));
    if (!record) return nullptr;
    // Each item made only once the one before is in: an error stops at once.
    const auto put = [&](Py_ssize_t i, PyObject* item) {
        if (item != nullptr) PyStructSequence_SetItem(record.get(), i, item);  // steals it
        return item != nullptr;
    };
    if (!put(0, bytes_of(visits.actions)) || !put(1, bytes_of(visits.counts)) ||
        !put(2, bytes_of(visits.offsets)) || !put(3, bytes_of(visits.movers)) ||
        (probs != nullptr && !put(4, bytes_of(*probs))))
        return nullptr;
    return record.release();
}

PyObject* search_visit_counts(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        if (!roots_ready(search)) return nullptr;
        return visits_record(search.visit_counts(), nullptr);
    });
}

PyObject* search_policy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* temperature_arg;
    if (!bind_arguments(POLICY, args, nargs, kwnames, {&temperature_arg, 1})) return nullptr;
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        double temperature;
        if (!to_real(temperature_arg, "temperature", 0, HUGE_VAL, temperature) ||
            !roots_ready(search))
            return nullptr;
        const VisitCounts visits = search.visit_counts();
        std::vector<float> probs(visits.counts.size());
        search.policy(visits, temperature, probs);
        return visits_record(visits, &probs);
    });
}

PyObject* search_root_noise(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        if (!roots_ready(search)) return nullptr;
        return bytes_of(search.root_noise());
    });
}

PyObject* search_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, SELECT_ARGS.size()> a{};
    if (!bind_arguments(SELECT, args, nargs, kwnames, a)) return nullptr;
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        double temperature;
        if (!to_real(a[0], "temperature", 0, HUGE_VAL, temperature) || !roots_ready(search))
            return nullptr;
        BufferArg out(a[1], "out", PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
        if (!out.check(static_cast<Py_ssize_t>(search.size()), "i")) return nullptr;
        search.select(temperature, {static_cast<std::int32_t*>(out.data()), search.size()});
        Py_RETURN_NONE;
    });
}

PyObject* search_advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* actions_arg;
    if (!bind_arguments(ADVANCE, args, nargs, kwnames, {&actions_arg, 1})) return nullptr;
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        BufferArg actions(actions_arg, "actions", PyBUF_C_CONTIGUOUS);
        if (!actions.check(static_cast<Py_ssize_t>(search.size()), "i")) return nullptr;
        const std::span<const std::int32_t> given{static_cast<const std::int32_t*>(actions.data()),
                                                  search.size()};
        const auto refused = without_lock([&] { return search.advance(given); });
        if (refused) return refusal_error(*refused, given[refused->game]);
        Py_RETURN_NONE;
    });
}

PyObject* search_memory(PyObject* self, PyObject*) {
    return with_search(self, [&](GuidedSearch& search) -> PyObject* {
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(search.nodes()),
                             static_cast<Py_ssize_t>(search.bytes()));
    });
}

PyObject* search_num_games(PyObject* self, void*) {
    return PyLong_FromSize_t(as_search(self)->search->size());
}

PyObject* search_num_threads(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_search(self)->search->num_threads());
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

template <class F>
constexpr PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"start", method(search_start), FASTCALL,
     "start($self, games, seeds)\n--\n\nNew roots, one per slot: a PyKrodan, a state string, or "
     "None for an idle slot; seeds (uint64 per slot, or None) restart the slots' streams."},
    {"pending", search_pending, METH_NOARGS,
     "pending($self)\n--\n\nWalks the trees to the next leaves to evaluate; their number (the "
     "first rows of leaves())."},
    {"leaves", search_leaves, METH_NOARGS,
     "leaves($self)\n--\n\nViews of the leaf arrays by name, all num_games rows."},
    {"expand", method(search_expand), FASTCALL,
     "expand($self, priors, dense, values)\n--\n\nThe pending leaves' evaluations: float32 "
     "priors (dense rows or the CSR layout) and float32 values, four per leaf."},
    {"done", search_done, METH_NOARGS, "done($self)\n--\n\nTrue once every search is complete."},
    {"visit_counts", search_visit_counts, METH_NOARGS,
     "visit_counts($self)\n--\n\nA VisitCounts: actions, counts, offsets and movers as int32, "
     "int32, int32 and int8 bytes."},
    {"policy", method(search_policy), FASTCALL,
     "policy($self, temperature)\n--\n\nA VisitPolicy: visit_counts() and the roots' "
     "probabilities (probs) as float32 bytes, in the same layout."},
    {"root_noise", search_root_noise, METH_NOARGS,
     "root_noise($self)\n--\n\nEach root's Gumbel noise as float64 bytes in the layout of "
     "visit_counts() (zeros under the PUCT root)."},
    {"select", method(search_select), FASTCALL,
     "select($self, temperature, out)\n--\n\nWrites one drawn action per slot into the int32 "
     "buffer out (-1 for idle or finished slots)."},
    {"advance", method(search_advance), FASTCALL,
     "advance($self, actions)\n--\n\nPlays one action per slot (int32, -1 for idle or finished "
     "slots) and keeps the chosen subtrees."},
    {"memory", search_memory, METH_NOARGS,
     "memory($self)\n--\n\n(nodes, bytes): the trees' nodes and the bytes reserved for them."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_games", search_num_games, nullptr, nullptr, nullptr},
    {"num_threads", search_num_threads, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_doc, const_cast<char*>("GuidedSearch(num_games, simulations, c_puct, "
                                  "dirichlet_alpha, dirichlet_fraction, reward_mode, seed, "
                                  "num_threads, dense_mask, root, gumbel_actions, "
                                  "gumbel_scale, c_visit, c_scale)\n--\n\nTree searches "
                                  "guided by the "
                                  "caller's evaluations; SEARCH_DEFAULTS holds a default "
                                  "search's options, and krodan_rl.search.BatchedSearch is its "
                                  "typed interface.")},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"krodan_rl._native.GuidedSearch", sizeof(SearchObject), 0, Py_TPFLAGS_DEFAULT,
                    slots};

}  // namespace

PyTypeObject* search_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* visit_counts_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = PyStructSequence_NewType(&counts_desc);
    return type;
}

PyTypeObject* visit_policy_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = PyStructSequence_NewType(&policy_desc);
    return type;
}

PyObject* search_defaults() {
    const GuidedSearchOptions d;
    const std::string_view mode = REWARD_MODE_NAMES[static_cast<std::size_t>(d.reward_mode)];
    const std::string_view root = ROOT_RULE_NAMES[static_cast<std::size_t>(d.root)];
    return Py_BuildValue(
        "{s:n,s:k,s:d,s:d,s:d,s:s#,s:K,s:I,s:O,s:s#,s:k,s:d,s:d,s:d}", "num_games",
        static_cast<Py_ssize_t>(d.num_games), "simulations",
        static_cast<unsigned long>(d.simulations), "c_puct", d.c_puct, "dirichlet_alpha",
        d.dirichlet_alpha, "dirichlet_fraction", d.dirichlet_fraction, "reward_mode", mode.data(),
        static_cast<Py_ssize_t>(mode.size()), "seed", static_cast<unsigned long long>(d.seed),
        "num_threads", d.num_threads, "dense_mask", d.dense_mask ? Py_True : Py_False, "root",
        root.data(), static_cast<Py_ssize_t>(root.size()), "gumbel_actions",
        static_cast<unsigned long>(d.gumbel_actions), "gumbel_scale", d.gumbel_scale, "c_visit",
        d.sigma.c_visit, "c_scale", d.sigma.c_scale);
}

}  // namespace krodan::python
