#pragma once
// Host arguments: the parameter-list check shared by every member that takes parameters, and
// the conversions of one argument, each failure carrying the note "while processing '<name>'".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace krodan::python {

// A callable's parameters, all required, each accepted by position or by keyword.
struct Signature {
    const char* callable;  // as named in messages, e.g. "PyKrodan.step()"
    std::span<const char* const> names;
};

// Matches vectorcall arguments to the parameters, writing one borrowed reference per parameter
// to `out`. Returns false with the host's TypeError set when the list does not match.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple of positional arguments and a dict of keyword arguments (either may be
// null), as the constructor receives them.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out);

// An int, or an object with __index__, from 0 to 2**64 - 1.
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);

// As to_u64, and from `low` to `high` (ValueError otherwise).
bool to_bounded(PyObject* obj, const char* name, std::uint64_t low, std::uint64_t high,
                std::uint64_t& out);

// None (nothing), or as to_u64.
bool to_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);

// A str's UTF-8 text; valid while obj lives.
bool to_utf8(PyObject* obj, const char* name, std::string_view& out);

// A bytes object's contents; valid while obj lives.
bool to_bytes(PyObject* obj, const char* name, std::string_view& out);

}  // namespace krodan::python
