#pragma once
// Engine errors as host exceptions. A violated invariant of the engine reaches the host as the
// panic exception, a class derived directly from BaseException so that `except Exception` does
// not swallow it, after a diagnostic on standard error.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string_view>

#include "game/internal_error.hpp"
#include "python/owned_ref.hpp"

namespace krodan::python {

// The panic exception class, created on first use and kept for the life of the process.
PyObject* panic_exception();

// Writes the diagnostic and sets the panic exception with `message`.
void raise_internal_error(std::string_view message, const SourceLocation& where);

// Sets `type` with the text prefix + detail; returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view prefix, std::string_view detail);

// Runs a member's body, turning engine exceptions into host exceptions.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const InternalError& e) {
        raise_internal_error(e.what(), e.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what(), SourceLocation::current());
    }
    return {};
}

}  // namespace krodan::python
