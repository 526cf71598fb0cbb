#include "python/arguments.hpp"

#include <string>
#include <vector>

#include "python/owned_ref.hpp"
#include "python/raised_exception.hpp"

namespace krodan::python {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

bool too_many_positional(const Signature& s, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", s.callable,
                 s.names.size(), given, given == 1 ? "was" : "were");
    return false;
}

// Puts the keyword argument `name` = value in its slot, or fails.
bool bind_keyword(const Signature& s, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  std::span<PyObject*> out) {
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, s.names[i]) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             s.callable, s.names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", s.callable, name);
    return false;
}

// Every parameter is required: names those left without a value.
bool require_all(const Signature& s, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < s.names.size(); ++i)
        if (out[i] == nullptr) missing.push_back(s.names[i]);
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", s.callable,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
}

// Attaches the note naming the parameter to the exception being raised.
void add_note(const char* name) {
    const std::string note = std::string("while processing '") + name + "'";
    RaisedException raised;
    if (!raised) return;
    Ref result(PyObject_CallMethod(raised.value(), "add_note", "s", note.c_str()));
    if (result) raised.restore();  // else the error of add_note is the one raised
}

// TypeError "'<type>' object is not an instance of '<expected>'" ("'None' is not ..." for None).
bool wrong_type(PyObject* obj, const char* expected, const char* name) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        Ref type_name(PyType_GetName(Py_TYPE(obj)));
        if (type_name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
                         expected);
        }
    }
    add_note(name);
    return false;
}

bool int_to_u64(PyObject* integer, std::uint64_t& out) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (nargs > static_cast<Py_ssize_t>(s.names.size())) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!bind_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out))
            return false;
    return require_all(s, out);
}

bool bind_arguments(const Signature& s, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > static_cast<Py_ssize_t>(s.names.size())) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(s, key, value, nargs, out)) return false;
    }
    return require_all(s, out);
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    bool converted;
    if (PyLong_Check(obj)) {
        converted = int_to_u64(obj, out);
    } else {
        Ref index(PyNumber_Index(obj));
        converted = index && int_to_u64(index.get(), out);
    }
    if (!converted) add_note(name);
    return converted;
}

bool to_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value;
    if (!to_u64(obj, name, value)) return false;
    out = value;
    return true;
}

bool to_utf8(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return wrong_type(obj, "str", name);
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        add_note(name);
        return false;
    }
    out = {text, static_cast<std::size_t>(size)};
    return true;
}

bool to_bytes(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyBytes_Check(obj)) return wrong_type(obj, "bytes", name);
    out = {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    return true;
}

bool to_bounded(PyObject* obj, const char* name, std::uint64_t low, std::uint64_t high,
                std::uint64_t& out) {
    if (!to_u64(obj, name, out)) return false;
    if (out < low || out > high) {
        PyErr_Format(PyExc_ValueError, "%s must be from %llu to %llu", name,
                     static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
        return false;
    }
    return true;
}

}  // namespace krodan::python
