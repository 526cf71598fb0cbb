#pragma once
// NativeArray: a read-only view of one batch output array through the buffer protocol, so that
// numpy (or memoryview) reads the engine's memory without a copy. It holds a share of that
// memory, which therefore outlives the batch as long as any view of it does.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <memory>

#include "batch/shared_array.hpp"

namespace krodan::python {

// The class, created on first need and kept for the life of the process.
PyTypeObject* array_type();

// The host's struct format character of each element type the batch writes.
template <class T>
constexpr const char* format_of();
template <>
constexpr const char* format_of<std::uint8_t>() {
    return "B";
}
template <>
constexpr const char* format_of<std::int8_t>() {
    return "b";
}
template <>
constexpr const char* format_of<std::int16_t>() {
    return "h";
}
template <>
constexpr const char* format_of<std::int32_t>() {
    return "i";
}
template <>
constexpr const char* format_of<float>() {
    return "f";
}

// A new view of `data`, `shape` being its dimensions (their product its size); `format`
// overrides the element's ("?" shows 0/1 bytes as booleans).
PyObject* wrap_array(std::shared_ptr<const void> owner, const void* data, const char* format,
                     Py_ssize_t item_size, std::initializer_list<Py_ssize_t> shape);

template <class T>
PyObject* wrap_array(const SharedArray<T>& array, std::initializer_list<Py_ssize_t> shape,
                     const char* format = format_of<T>()) {
    return wrap_array(array.owner(), array.data(), format, sizeof(T), shape);
}

// Sets dict[name] to a view of `array` shaped as given; None for an array turned off.
template <class T>
bool put_array(PyObject* dict, const char* name, const SharedArray<T>& array,
               std::initializer_list<Py_ssize_t> shape, const char* format = format_of<T>()) {
    if (array.size() == 0) return PyDict_SetItemString(dict, name, Py_None) == 0;
    PyObject* view = wrap_array(array, shape, format);
    if (view == nullptr) return false;
    const bool set = PyDict_SetItemString(dict, name, view) == 0;
    Py_DECREF(view);
    return set;
}

}  // namespace krodan::python
