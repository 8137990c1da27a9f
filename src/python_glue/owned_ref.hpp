#pragma once

#include <utility>

#include "python_glue/python.hpp"

// Sole owner of one strong reference; releases it when it goes out of scope.
class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject *object) : object_(object) {}
    OwnedRef(OwnedRef &&other) noexcept : object_(other.take()) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept {
        reset(other.take());
        return *this;
    }
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    static OwnedRef borrow(PyObject *object) { return OwnedRef(Py_XNewRef(object)); }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *take() { return std::exchange(object_, nullptr); }
    void reset(PyObject *object = nullptr) { Py_XDECREF(std::exchange(object_, object)); }

private:
    PyObject *object_ = nullptr;
};
