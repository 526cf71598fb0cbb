#pragma once
// The exception being raised, taken out of the host's error indicator so that other calls can
// run, and given back with restore(). Uses the host's newer single-object API where it exists.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace krodan::python {

class RaisedException {
  public:
    // Takes the exception being raised, normalised; empty when none is.
    RaisedException() {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyObject *type, *traceback;
        PyErr_Fetch(&type, &value_, &traceback);
        PyErr_NormalizeException(&type, &value_, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value_, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
#endif
    }
    ~RaisedException() { Py_XDECREF(value_); }
    RaisedException(const RaisedException&) = delete;
    RaisedException& operator=(const RaisedException&) = delete;

    explicit operator bool() const { return value_ != nullptr; }
    PyObject* value() const { return value_; }

    // Raises the exception again (and nothing when there was none).
    void restore() {
        PyObject* value = std::exchange(value_, nullptr);
        if (value == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value);
#else
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                      PyException_GetTraceback(value));
#endif
    }

  private:
    PyObject* value_ = nullptr;
};

}  // namespace krodan::python
