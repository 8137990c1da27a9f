#pragma once

#include <cstddef>
#include <string_view>

#include "python_glue/python.hpp"

// A str argument's UTF-8 text, valid while the argument lives; TypeError "{name}: expected a str"
// otherwise, false then.
inline bool str_argument(PyObject *object, const char *name, std::string_view &text) {
    Py_ssize_t length = 0;
    const char *utf8 = PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &length) : nullptr;
    if (utf8 == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: expected a str", name);
        return false;
    }
    text = std::string_view(utf8, static_cast<std::size_t>(length));
    return true;
}
