#include "module/numpy_api.hpp"

#include "module/errors.hpp"
#include "module/internal_error.hpp"
#include "module/once.hpp"
#include "python_glue/owned_ref.hpp"

namespace {

// The ABI and C-API feature level this module is written against.
constexpr unsigned int built_abi_version = 0x2000000;
constexpr unsigned int minimum_feature_version = 0xc;

OnceGuard core_guard;
PyObject *core_package = nullptr;  // "numpy._core" or "numpy.core"

OnceGuard table_guard;
PyObject *api_capsule = nullptr;  // kept so that the table stays valid
void **api_table = nullptr;

OwnedRef import_attribute(const char *module_name, const char *attribute) {
    OwnedRef module(PyImport_ImportModule(module_name));
    if (!module) return {};
    return OwnedRef(PyObject_GetAttrString(module.get(), attribute));
}

// NumPy 2 moved its core package from numpy.core to numpy._core.
bool find_core_package() {
    OwnedRef version(import_attribute("numpy", "__version__"));
    if (!version) return false;
    OwnedRef numpy_version(import_attribute("numpy.lib", "NumpyVersion"));
    if (!numpy_version) return false;
    OwnedRef parsed(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) return false;
    OwnedRef major_object(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return false;
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return false;
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_OverflowError, major < 0 ? "unsigned byte integer is less than minimum"
                                                       : "unsigned byte integer is greater than maximum");
        return false;
    }
    core_package = PyUnicode_FromString(major >= 2 ? "numpy._core" : "numpy.core");
    return core_package != nullptr;
}

bool check_running_numpy(void **table) {
    using VersionFn = unsigned int (*)();
    using EndiannessFn = int (*)();
    const unsigned int abi = reinterpret_cast<VersionFn>(table[numpy_api_index::GetNDArrayCVersion])();
    if (abi > built_abi_version) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     built_abi_version, abi);
        return false;
    }
    const unsigned int feature = reinterpret_cast<VersionFn>(table[numpy_api_index::GetNDArrayCFeatureVersion])();
    if (feature < minimum_feature_version) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the running NumPy has "
                     "C-API version 0x%x",
                     minimum_feature_version, feature);
        return false;
    }
    if (reinterpret_cast<EndiannessFn>(table[numpy_api_index::GetEndianness])() != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError, "module compiled as little endian, but detected different endianness at runtime");
        return false;
    }
    return true;
}

bool import_table() {
    if (!core_guard.run(find_core_package)) return false;
    OwnedRef name(PyUnicode_FromFormat("%U.multiarray", core_package));
    if (!name) return false;
    OwnedRef multiarray(PyImport_Import(name.get()));
    if (!multiarray) return false;
    OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        raise_not_instance(capsule.get(), "PyCapsule");
        return false;
    }
    auto **table = static_cast<void **>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    if (!check_running_numpy(table)) return false;
    api_capsule = capsule.take();
    api_table = table;
    return true;
}

// "Type: message" of the cause. Its traceback is left out: the traceback module's rendering adds
// guesses ("Did you mean ...?") that change from run to run, and running that Python code
// while memory is short can itself fail. The same failure always reads the same.
OwnedRef render_exception(PyObject *exception) {
    OwnedRef type_name(type_name_of(exception));
    OwnedRef rendered(type_name ? PyUnicode_FromFormat("%U: %S", type_name.get(), exception) : nullptr);
    if (!rendered) PyErr_Clear();
    return rendered;
}

}  // namespace

void **numpy_api_table() {
    if (table_guard.done()) return api_table;
    if (table_guard.run(import_table)) return api_table;
    ensure_error_set();
    OwnedRef cause(PyErr_GetRaisedException());
    OwnedRef rendered(render_exception(cause.get()));
    if (!rendered) rendered.reset(PyUnicode_FromString("<unprintable exception>"));
    if (!rendered) return nullptr;
    OwnedRef message(PyUnicode_FromFormat("Failed to access NumPy array API capsule: %U", rendered.get()));
    if (message) raise_internal_error(message.get());
    return nullptr;
}
