#pragma once
// Arguments of the native calls: flags, reals, and flat arrays taken through the buffer
// protocol (numpy arrays, memoryviews, bytearrays) without a copy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace krodan::python {

// A float in [low, high] (high may be infinite).
inline bool to_real(PyObject* obj, const char* name, double low, double high, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(out) || out < low || out > high) {
        // The host's formatting knows no floating-point conversions: the bounds are written
        // here.
        char range[96];
        std::snprintf(range, sizeof range, "from %g to %g", low, high);
        PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, range, obj);
        return false;
    }
    return true;
}

inline bool to_flag(PyObject* obj, const char* name, bool& out) {
    if (!PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a bool, not %.100s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    out = obj == Py_True;
    return true;
}

// A 1-D contiguous buffer of `count` items (or any number) whose format is one of `formats`
// (struct codes, an optional native-order prefix allowed); false with an exception set
// otherwise.
class BufferArg {
  public:
    BufferArg(PyObject* obj, const char* name, int flags) : name_(name) {
        held_ = PyObject_GetBuffer(obj, &view_, flags | PyBUF_FORMAT | PyBUF_ND) == 0;
    }
    ~BufferArg() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferArg(const BufferArg&) = delete;
    BufferArg& operator=(const BufferArg&) = delete;

    // The format code, once the buffer has been checked; 0 after a failure.
    char check(Py_ssize_t count, std::string_view codes) { return checked(count, codes); }
    // The same for any number of items, which length() then gives.
    char check(std::string_view codes) { return checked(-1, codes); }

    void* data() const { return view_.buf; }
    Py_ssize_t length() const { return view_.shape[0]; }
    Py_ssize_t item_size() const { return view_.itemsize; }

  private:
    // `count` -1: any.
    char checked(Py_ssize_t count, std::string_view codes) {
        if (!held_) return 0;
        const char* format = view_.format != nullptr ? view_.format : "B";
        if (*format == '@' || *format == '=') ++format;
        if (std::strlen(format) != 1 || codes.find(*format) == std::string_view::npos) {
            PyErr_Format(PyExc_TypeError, "%s: unsupported element format '%s'", name_,
                         view_.format);
            return 0;
        }
        if (view_.ndim != 1 || (count >= 0 && view_.shape[0] != count)) {
            if (count >= 0)
                PyErr_Format(PyExc_ValueError, "%s: expected %zd items in one dimension", name_,
                             count);
            else
                PyErr_Format(PyExc_ValueError, "%s: expected one dimension", name_);
            return 0;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s: the buffer must be contiguous", name_);
            return 0;
        }
        return *format;
    }

    const char* name_;
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace krodan::python
