#include "module/internal_error.hpp"

#include "module/once.hpp"
#include "python_glue/owned_ref.hpp"

namespace {

OnceGuard class_guard;
PyObject *internal_error_class = nullptr;

constexpr const char *doc =
    "Raised when native code of _utils fails internally (for example when NumPy's C interface is "
    "unusable).\n\nLike SystemExit it derives from BaseException, not Exception, so that it normally "
    "propagates to the top and ends the interpreter.";

bool create_class() {
    internal_error_class = PyErr_NewExceptionWithDoc("_utils.InternalError", doc, PyExc_BaseException, nullptr);
    return internal_error_class != nullptr;
}

}  // namespace

PyObject *raise_internal_error(PyObject *message) {
    if (!class_guard.run(create_class)) return nullptr;
    PyErr_SetObject(internal_error_class, message);
    return nullptr;
}

PyObject *raise_internal_error(const char *message) {
    OwnedRef text(PyUnicode_FromString(message));
    return text ? raise_internal_error(text.get()) : nullptr;
}
