#include "arrays/slice_container.hpp"

#include "module/errors.hpp"
#include "module/internal_error.hpp"
#include "module/once.hpp"

namespace {

struct SliceContainer {
    PyObject_HEAD
    double *storage;
    std::size_t length;
    std::size_t capacity;
    ReleaseRoutine release;
};

void slice_container_dealloc(PyObject *self) {
    auto *container = reinterpret_cast<SliceContainer *>(self);
    container->release(container->storage, container->length, container->capacity);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char *>("Utility type that keeps a natively allocated buffer alive on the Python heap.")},
    {0, nullptr},
};

// Immutable, so that Python code can neither give the type a __new__ (an instance made that
// way would hold no storage and no release routine) nor swap an instance's __class__.
PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slice_container_slots,
};

OnceGuard type_guard;
PyTypeObject *slice_container_type = nullptr;

bool create_type() {
    slice_container_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&slice_container_spec));
    return slice_container_type != nullptr;
}

PyTypeObject *owner_type() {
    if (type_guard.run(create_type)) return slice_container_type;
    ensure_error_set();
    PyErr_WriteUnraisable(nullptr);
    raise_internal_error("failed to create type object for `PySliceContainer`");
    return nullptr;
}

}  // namespace

PyObject *new_slice_container(double *storage, std::size_t length, std::size_t capacity, ReleaseRoutine release) {
    PyTypeObject *type = owner_type();
    PyObject *self = type ? type->tp_alloc(type, 0) : nullptr;
    if (self == nullptr) {
        release(storage, length, capacity);
        if (type != nullptr) {
            PyErr_Clear();
            raise_internal_error("Failed to create slice container: out of memory");
        }
        return nullptr;
    }
    auto *container = reinterpret_cast<SliceContainer *>(self);
    container->storage = storage;
    container->length = length;
    container->capacity = capacity;
    container->release = release;
    return self;
}
