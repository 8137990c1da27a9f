#pragma once

#include <cstddef>

#include "python_glue/python.hpp"

// One exporter's buffer of doubles (or floats), held for as long as the view lives: the
// exporter cannot resize or free it meanwhile, so native loops may read and write it with the
// interpreter lock released.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    // An aligned, C-contiguous buffer of `ndim` dimensions whose items are of `format` ("d" or "f"),
    // writable when asked. TypeError or ValueError naming `name` otherwise; false then.
    bool acquire(PyObject *object, const char *name, int ndim, const char *format, bool writable);

    std::size_t size() const { return static_cast<std::size_t>(buffer_.len / buffer_.itemsize); }
    std::size_t shape(int axis) const { return static_cast<std::size_t>(buffer_.shape[axis]); }
    template <typename T>
    T *data() const { return static_cast<T *>(buffer_.buf); }

private:
    Py_buffer buffer_{};
    bool held_ = false;
};
