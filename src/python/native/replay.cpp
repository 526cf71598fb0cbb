#include "python/native/replay.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "game/replay.hpp"
#include "game/state_string.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/without_lock.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 6> ARGS = {"states", "actions", "after",
                                                    "movers", "over",    "scores"};
inline constexpr Signature REPLAY_ROWS{"replay_rows()", ARGS};

template <class T>
std::span<T> span_of(const BufferArg& arg) {
    return {static_cast<T*>(arg.data()), static_cast<std::size_t>(arg.length())};
}

}  // namespace

PyObject* row_error() {
    // Created by the module's first initialisation, under the import lock; never released.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "krodan_rl._native.RowError",
            "A row of a batch of stored turns or states that the engine refuses: `row` is its "
            "index in the batch, `reason` why, and the message reads 'row <row>: <reason>'.",
            PyExc_ValueError, nullptr);
    }
    return type;
}

PyObject* raise_row_error(std::size_t row, std::string_view reason) {
    PyObject* type = row_error();
    if (type == nullptr) return nullptr;
    const std::string text = "row " + std::to_string(row) + ": " + std::string(reason);
    Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref why(PyUnicode_FromStringAndSize(reason.data(), static_cast<Py_ssize_t>(reason.size())));
    Ref index(PyLong_FromSize_t(row));
    if (!message || !why || !index) return nullptr;
    Ref error(PyObject_CallOneArg(type, message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "row", index.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "reason", why.get()) < 0)
        return nullptr;
    PyErr_SetObject(type, error.get());
    return nullptr;
}

PyObject* native_replay_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    std::array<PyObject*, ARGS.size()> a{};
    if (!bind_arguments(REPLAY_ROWS, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        BufferArg actions(a[1], "actions", PyBUF_C_CONTIGUOUS);
        if (!actions.check("lq")) return nullptr;
        if (actions.item_size() != 8) {
            PyErr_SetString(PyExc_TypeError, "actions: expected 64-bit integers");
            return nullptr;
        }
        const Py_ssize_t rows = actions.length();
        constexpr auto state_size = static_cast<Py_ssize_t>(STATE_SIZE);
        BufferArg states(a[0], "states", PyBUF_C_CONTIGUOUS);
        BufferArg after(a[2], "after", PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        BufferArg movers(a[3], "movers", PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        BufferArg over(a[4], "over", PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        BufferArg scores(a[5], "scores", PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        if (!states.check(rows * state_size, "B") || !after.check(rows * state_size, "B") ||
            !movers.check(rows, "b") || !over.check(rows, "B") ||
            !scores.check(rows * NUM_AGENTS, "h"))
            return nullptr;
        const ReplayOutput out{span_of<std::uint8_t>(after), span_of<std::int8_t>(movers),
                               span_of<std::uint8_t>(over), span_of<std::int16_t>(scores)};
        const auto refused = without_lock([&] {
            return replay_rows(span_of<const std::uint8_t>(states),
                               span_of<const std::int64_t>(actions), out);
        });
        if (refused) return raise_row_error(refused->row, refused->reason);
        Py_RETURN_NONE;
    });
}

}  // namespace krodan::python
