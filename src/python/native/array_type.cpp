// The class NativeArray: a shape, a format and a share of the memory, exported read-only.

#include "python/native/array_type.hpp"

#include <array>

#include "python/owned_ref.hpp"

namespace krodan::python {
namespace {

constexpr int MAX_DIMS = 4;

struct ArrayObject {
    PyObject ob_base;
    std::shared_ptr<const void> owner;
    const void* data;
    const char* format;
    Py_ssize_t item_size;
    int ndim;
    std::array<Py_ssize_t, MAX_DIMS> shape;
    std::array<Py_ssize_t, MAX_DIMS> strides;
};

ArrayObject* as_array(PyObject* self) {
    return reinterpret_cast<ArrayObject*>(self);
}

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the batch's arrays are read-only");
        view->obj = nullptr;
        return -1;
    }
    ArrayObject* a = as_array(self);
    // The memory is C-ordered: a request for Fortran order holds only in one dimension.
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && a->ndim > 1) {
        PyErr_SetString(PyExc_BufferError, "the batch's arrays are C-contiguous only");
        view->obj = nullptr;
        return -1;
    }
    Py_ssize_t count = 1;
    for (int d = 0; d < a->ndim; ++d) count *= a->shape[d];
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = const_cast<void*>(a->data);
    view->obj = Py_NewRef(self);
    view->len = count * a->item_size;
    view->readonly = 1;
    // Without a shape the consumer sees one dimension of bytes.
    view->itemsize = shaped ? a->item_size : 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
    view->ndim = shaped ? a->ndim : 1;
    view->shape = shaped ? a->shape.data() : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides.data() : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void array_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_array(self)->~ArrayObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {Py_tp_doc, const_cast<char*>("A read-only view of one of a batch's output arrays.")},
    {0, nullptr},
};

PyType_Spec spec = {"krodan_rl._native.NativeArray", sizeof(ArrayObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

PyTypeObject* array_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        Ref created(PyType_FromSpec(&spec));
        if (!created) return nullptr;
        type = created.release();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* wrap_array(std::shared_ptr<const void> owner, const void* data, const char* format,
                     Py_ssize_t item_size, std::initializer_list<Py_ssize_t> shape) {
    PyTypeObject* type = array_type();
    if (type == nullptr) return nullptr;
    if (shape.size() > MAX_DIMS) {
        PyErr_SetString(PyExc_SystemError, "too many dimensions for a NativeArray");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ArrayObject* a = as_array(self);
    new (&a->owner) std::shared_ptr<const void>(std::move(owner));
    a->data = data;
    a->format = format;
    a->item_size = item_size;
    a->ndim = static_cast<int>(shape.size());
    int d = 0;
    for (Py_ssize_t extent : shape) a->shape[d++] = extent;
    Py_ssize_t stride = item_size;
    for (d = a->ndim - 1; d >= 0; --d) {
        a->strides[d] = stride;
        stride *= a->shape[d];
    }
    return self;
}

}  // namespace krodan::python
