#include "call/arguments.hpp"

#include <cstring>

namespace {

// Index of the parameter the keyword names, or -1; names that are not UTF-8 strings name none.
int parameter_index(PyObject *keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (int i = 0; i < parameter_count; ++i) {
        if (std::strlen(parameter_names[i]) == static_cast<std::size_t>(size) &&
            std::memcmp(parameter_names[i], text, static_cast<std::size_t>(size)) == 0)
            return i;
    }
    return -1;
}

void raise_missing(const char *function_name, PyObject *const bound[parameter_count]) {
    const char *missing[parameter_count];
    int count = 0;
    for (int i = 0; i < parameter_count; ++i) {
        if (bound[i] == nullptr) missing[count++] = parameter_names[i];
    }
    const char *plural = count == 1 ? "" : "s";
    if (count == 1) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function_name, missing[0]);
    } else if (count == 2) {
        PyErr_Format(PyExc_TypeError, "%s() missing 2 required positional argument%s: '%s' and '%s'", function_name,
                     plural, missing[0], missing[1]);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() missing 3 required positional argument%s: '%s', '%s', and '%s'",
                     function_name, plural, missing[0], missing[1], missing[2]);
    }
}

}  // namespace

bool bind_arguments(const char *function_name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *bound[parameter_count]) {
    for (int i = 0; i < parameter_count; ++i) bound[i] = nullptr;
    if (nargs > parameter_count) {
        PyErr_Format(PyExc_TypeError, "%s() takes 3 positional arguments but %zd were given", function_name, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        const int index = parameter_index(keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", function_name, keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }

    for (int i = 0; i < parameter_count; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(function_name, bound);
            return false;
        }
    }
    return true;
}
