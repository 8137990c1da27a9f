#pragma once

// A function of vs30amp._native as its one text signature declares it: the module's PyMethodDef
// and the function's check of its number of arguments both come from that signature, declared
// beside the function.

#include "python_glue/python.hpp"
#include "python_glue/text_signature.hpp"

using NativeCall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);

// The record the module binds: a fastcall function named and documented by its signature.
inline PyMethodDef native_method(const TextSignature &signature, NativeCall function) {
    return {signature.function_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL, signature.text};
}

// TypeError "{name}() takes {n} arguments ({given} given)" and false unless `given` is the number
// of parameters the signature names.
inline bool takes_arguments(const TextSignature &signature, Py_ssize_t given) {
    const auto expected = static_cast<Py_ssize_t>(signature.parameters);
    if (given == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", signature.function_name, expected, given);
    return false;
}
