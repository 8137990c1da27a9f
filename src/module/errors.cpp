#include "module/errors.hpp"

#include "python_glue/owned_ref.hpp"

PyObject *type_name_of(PyObject *object) {
    PyObject *name = PyType_GetQualName(Py_TYPE(object));
    if (name != nullptr) return name;
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

PyObject *raise_not_instance(PyObject *object, PyObject *target_name) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", target_name);
        return nullptr;
    }
    OwnedRef type_name(type_name_of(object));
    if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", type_name.get(), target_name);
    return nullptr;
}

PyObject *raise_not_instance(PyObject *object, const char *target) {
    OwnedRef target_name(PyUnicode_FromString(target));
    if (target_name) raise_not_instance(object, target_name.get());
    return nullptr;
}

void ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}
