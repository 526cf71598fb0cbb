#pragma once
// A strong reference that releases itself, so that no early return can leak one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace krodan::python {

class Ref {
  public:
    Ref() = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XSETREF(p_, std::exchange(other.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrowed(PyObject* p) { return Ref(Py_XNewRef(p)); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

  private:
    PyObject* p_ = nullptr;
};

}  // namespace krodan::python
