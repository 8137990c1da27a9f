// Module definition: the slot array both entry points lead to, and the execution step that
// binds the functions and lists them in __all__.

#include "module/errors.hpp"
#include "module/functions.hpp"
#include "module/internal_error.hpp"
#include "module/interned.hpp"
#include "python_glue/owned_ref.hpp"

namespace {

int exec_module(PyObject *module);

// Built for the version-specific ABI of the GIL-enabled interpreter.
const PyABIInfo abi_info = {1, 0, PyABIInfo_GIL, 0, 0};
static_assert(sizeof(PyABIInfo) == 12);

PySlot module_slots[] = {
    {Py_mod_exec, 0, {0}, {.sl_func = reinterpret_cast<_Py_funcptr_t>(exec_module)}},
    {Py_mod_abi, PySlot_STATIC, {0}, {.sl_ptr = const_cast<PyABIInfo *>(&abi_info)}},
    {Py_mod_gil, PySlot_INTPTR, {0}, {.sl_ptr = Py_MOD_GIL_NOT_USED}},
    {Py_mod_name, PySlot_STATIC, {0}, {.sl_ptr = const_cast<char *>("_utils")}},
    {Py_mod_doc, PySlot_STATIC, {0}, {.sl_ptr = const_cast<char *>("")}},
    {0, 0, {0}, {.sl_ptr = nullptr}},
};
static_assert(sizeof(PySlot) == 16);

// The older protocol reaches the same slot array through one nested-slots entry.
PyModuleDef_Slot definition_slots[] = {
    {Py_slot_subslots, module_slots},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_utils", "", 0, nullptr, definition_slots, nullptr, nullptr, nullptr,
};

// The module's __all__ list, created when the module has none. New reference or nullptr.
PyObject *all_list_of(PyObject *module) {
    PyObject *all_name = interned_all();
    if (all_name == nullptr) return nullptr;
    OwnedRef all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return nullptr;
    } else if (!PyList_Check(all.get())) {
        return raise_not_instance(all.get(), "list");
    }
    return all.take();
}

int bind_function(PyObject *module, PyMethodDef *record) {
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    OwnedRef function(PyCMethod_New(record, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) return -1;

    PyObject *name_attribute = interned_name();
    if (name_attribute == nullptr) return -1;
    OwnedRef name(PyObject_GetAttr(function.get(), name_attribute));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        raise_not_instance(name.get(), "str");
        return -1;
    }

    OwnedRef all(all_list_of(module));
    if (!all) return -1;
    if (PyList_Append(all.get(), name.get()) < 0) {
        OwnedRef cause(PyErr_GetRaisedException());
        OwnedRef message(PyUnicode_FromFormat("could not append __name__ to __all__: %S", cause.get()));
        if (message) raise_internal_error(message.get());
        return -1;
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject *module) {
    if (module == nullptr) {
        ensure_error_set();
        return -1;
    }
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "module");
        return -1;
    }
    // The process-wide caches hold objects of the interpreter that filled them.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "_utils can only be imported in the main interpreter");
        return -1;
    }
    for (PyMethodDef &record : function_table) {
        if (bind_function(module, &record) < 0) return -1;
    }
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__utils() { return PyModuleDef_Init(&definition); }

PyMODEXPORT_FUNC PyModExport__utils() { return module_slots; }
