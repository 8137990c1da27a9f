#include "vs30amp_native/buffer_view.hpp"

#include <cstdint>
#include <cstring>

bool BufferView::acquire(PyObject *object, const char *name, int ndim, const char *format, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object, &buffer_, flags) < 0) {
        PyErr_Format(PyExc_TypeError, "%s: expected a C-contiguous%s array", name, writable ? " writable" : "");
        return false;
    }
    held_ = true;
    const char *own = buffer_.format;
    // Native byte order only: "<" and "=" on a little-endian machine, "@" or nothing anywhere.
    if (*own == '@' || *own == '=' || *own == '<') ++own;
    if (buffer_.ndim != ndim || std::strcmp(own, format) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: expected %d dimension(s) of format '%s', got %d of '%s'", name, ndim,
                     format, buffer_.ndim, buffer_.format);
        return false;
    }
    // Unpickled or sliced byte buffers can be C-contiguous and still misaligned.
    if (reinterpret_cast<std::uintptr_t>(buffer_.buf) % static_cast<std::uintptr_t>(buffer_.itemsize) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: expected an aligned array", name);
        return false;
    }
    return true;
}
