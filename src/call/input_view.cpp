#include "call/input_view.hpp"

#include "module/errors.hpp"
#include "module/interned.hpp"
#include "module/numpy_api.hpp"

namespace {

// 1 when accepted, 0 when refused, -1 with an exception set.
int is_float64_vector(void **table, PyObject *object) {
    PyTypeObject *array_type = numpy::array_type(table);
    if (!Py_IS_TYPE(object, array_type) && !PyType_IsSubtype(Py_TYPE(object), array_type)) return 0;
    NumpyArrayFields *fields = numpy::fields(object);
    if (fields->nd != 1) return 0;
    OwnedRef float64(numpy::float64_descr(table));
    if (!float64) {
        ensure_error_set();
        return -1;
    }
    return fields->descr == float64.get() || numpy::equivalent_types(table, fields->descr, float64.get());
}

// Adds "while processing '{parameter}'" to the pending exception; a failure to add it is dropped.
void add_parameter_note(const char *parameter) {
    ensure_error_set();
    OwnedRef exception(PyErr_GetRaisedException());
    PyObject *add_note = interned_add_note();
    OwnedRef note(add_note ? PyUnicode_FromFormat("while processing '%s'", parameter) : nullptr);
    OwnedRef result(note ? PyObject_CallMethodOneArg(exception.get(), add_note, note.get()) : nullptr);
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(exception.take());
}

}  // namespace

bool accept_input(void **table, PyObject *object, const char *parameter, InputView &view) {
    const int accepted = is_float64_vector(table, object);
    if (accepted < 0) return false;
    if (accepted == 0) {
        OwnedRef target(PyType_GetQualName(numpy::array_type(table)));
        if (target) raise_not_instance(object, target.get());
        add_parameter_note(parameter);
        return false;
    }
    NumpyArrayFields *fields = numpy::fields(object);
    view.array = OwnedRef::borrow(object);
    view.data = fields->data;
    view.length = static_cast<std::size_t>(fields->dimensions[0]);
    view.stride = fields->strides[0];
    return true;
}
