// vs30amp._native: the package's own native code (what the package computes beyond the four
// functions of _utils), sharing the model library with _utils.

#include "vs30amp_native/functions.hpp"

namespace {

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "vs30amp._native", "Native kernels of the vs30amp package.", 0, nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    definition.m_methods = native_functions();
    return PyModuleDef_Init(&definition);
}
