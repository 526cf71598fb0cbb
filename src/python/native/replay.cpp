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
        if (refused) {
            const std::string prefix = "row " + std::to_string(refused->row) + ": ";
            return raise_text(PyExc_ValueError, prefix, refused->reason);
        }
        Py_RETURN_NONE;
    });
}

}  // namespace krodan::python
