#include "python/errors.hpp"

#include <cstdio>
#include <string>

namespace krodan::python {

PyObject* panic_exception() {
    // Created by the module's first initialisation, under the import lock; never released.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "Raised when the engine meets a violated internal invariant.\n\n"
            "Derived from BaseException, so that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_internal_error(std::string_view message, const SourceLocation& where) {
    std::fprintf(stderr, "krodan_rl: internal error at %s:%u in %s: %.*s\n", where.file, where.line,
                 where.function, static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    PyObject* type = panic_exception();
    if (type == nullptr) return;  // its creation failed and left that error set
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
}

PyObject* raise_text(PyObject* type, std::string_view prefix, std::string_view detail) {
    std::string text;
    text.reserve(prefix.size() + detail.size());
    text.append(prefix).append(detail);
    Ref value(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (value) PyErr_SetObject(type, value.get());
    return nullptr;
}

}  // namespace krodan::python
