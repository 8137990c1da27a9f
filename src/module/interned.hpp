#pragma once

#include "python_glue/python.hpp"

// Process-wide interned names, created once. Each returns a borrowed reference, or nullptr
// with an exception set when the names could not be created.
PyObject *interned_all();       // "__all__"
PyObject *interned_name();      // "__name__"
PyObject *interned_add_note();  // "add_note"
