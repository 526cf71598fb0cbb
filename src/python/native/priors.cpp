#include "python/native/priors.hpp"

#include <array>
#include <span>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/native/buffer_arg.hpp"
#include "python/native/row_offsets.hpp"
#include "python/native/without_lock.hpp"
#include "search/legal_softmax.hpp"

namespace krodan::python {
namespace {

inline constexpr std::array<const char*, 3> ARGS = {"logits", "offsets", "priors"};
inline constexpr Signature LEGAL_SOFTMAX{"legal_softmax()", ARGS};

}  // namespace

PyObject* native_legal_softmax(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, ARGS.size()> a{};
    if (!bind_arguments(LEGAL_SOFTMAX, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        BufferArg logits_arg(a[0], "logits", PyBUF_C_CONTIGUOUS);
        BufferArg offsets_arg(a[1], "offsets", PyBUF_C_CONTIGUOUS);
        BufferArg priors_arg(a[2], "priors", PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
        if (!logits_arg.check("f") || !offsets_arg.check("i") ||
            !priors_arg.check(logits_arg.length(), "f"))
            return nullptr;
        const std::span<const float> logits{static_cast<const float*>(logits_arg.data()),
                                            static_cast<std::size_t>(logits_arg.length())};
        const std::span<const std::int32_t> offsets{
            static_cast<const std::int32_t*>(offsets_arg.data()),
            static_cast<std::size_t>(offsets_arg.length())};
        if (!offsets_valid(offsets, logits.size())) return nullptr;
        const std::span<float> priors{static_cast<float*>(priors_arg.data()), logits.size()};
        without_lock([&] { legal_softmax(logits, offsets, priors); });
        Py_RETURN_NONE;
    });
}

}  // namespace krodan::python
