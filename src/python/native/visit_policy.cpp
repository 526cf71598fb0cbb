#include "python/native/visit_policy.hpp"

#include <array>
#include <cmath>
#include <span>
#include <vector>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/row_offsets.hpp"
#include "search/visit_policy.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 3> ARGS = {"counts", "offsets", "temperature"};
inline constexpr Signature VISIT_POLICY{"visit_policy()", ARGS};

// Counts of 0 or more, in rows that cover them.
bool rows_valid(std::span<const std::int32_t> counts, std::span<const std::int32_t> offsets) {
    if (!offsets_valid(offsets, counts.size())) return false;
    for (std::int32_t c : counts) {
        if (c < 0) {
            PyErr_SetString(PyExc_ValueError, "counts must not be negative");
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* native_visit_policy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, ARGS.size()> a{};
    if (!bind_arguments(VISIT_POLICY, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        BufferArg counts_arg(a[0], "counts", PyBUF_C_CONTIGUOUS);
        BufferArg offsets_arg(a[1], "offsets", PyBUF_C_CONTIGUOUS);
        double temperature;
        if (!counts_arg.check("i") || !offsets_arg.check("i") ||
            !to_real(a[2], "temperature", 0, HUGE_VAL, temperature))
            return nullptr;
        const std::span<const std::int32_t> counts{
            static_cast<const std::int32_t*>(counts_arg.data()),
            static_cast<std::size_t>(counts_arg.length())};
        const std::span<const std::int32_t> offsets{
            static_cast<const std::int32_t*>(offsets_arg.data()),
            static_cast<std::size_t>(offsets_arg.length())};
        if (!rows_valid(counts, offsets)) return nullptr;
        std::vector<float> probs(counts.size());
        visit_policy(counts, offsets, temperature, probs);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(probs.data()),
                                         static_cast<Py_ssize_t>(probs.size() * sizeof(float)));
    });
}

}  // namespace krodan::python
