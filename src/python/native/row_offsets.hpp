#pragma once
// Rows of a flat array given by offsets, as the CSR lists of legal actions lay them out: the
// check every call taking such rows makes of them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace krodan::python {

// Offsets that start at 0, never go down and end at `count`; false with a ValueError otherwise.
inline bool offsets_valid(std::span<const std::int32_t> offsets, std::size_t count) {
    if (offsets.empty() || offsets.front() != 0 ||
        static_cast<std::size_t>(offsets.back()) != count) {
        PyErr_SetString(PyExc_ValueError,
                        "offsets must start at 0 and end at the number of entries");
        return false;
    }
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        if (offsets[i + 1] < offsets[i]) {
            PyErr_SetString(PyExc_ValueError, "offsets must not decrease");
            return false;
        }
    }
    return true;
}

}  // namespace krodan::python
