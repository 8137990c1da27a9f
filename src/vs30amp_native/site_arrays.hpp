#pragma once

#include <cstddef>

#include "python_glue/python.hpp"
#include "vs30amp_native/buffer_view.hpp"

// The arguments of a factors function as the package passes them: vs30, vs30_sim and pga, three
// float64 arrays of one length n, and out, a writable float64 array of shape (n, columns).
struct SiteArrays {
    BufferView vs30, vs30_sim, pga, out;

    // Takes args[0] to args[3]; TypeError or ValueError naming the argument otherwise, false then.
    bool acquire(PyObject *const *args, std::size_t columns) {
        if (!vs30.acquire(args[0], "vs30", 1, "d", false) || !vs30_sim.acquire(args[1], "vs30_sim", 1, "d", false) ||
            !pga.acquire(args[2], "pga", 1, "d", false) || !out.acquire(args[3], "out", 2, "d", true))
            return false;
        const std::size_t n = sites();
        if (vs30_sim.size() != n || pga.size() != n || out.shape(0) != n || out.shape(1) != columns) {
            PyErr_Format(PyExc_ValueError, "expected three arrays of one length n and out of shape (n, %zu)", columns);
            return false;
        }
        return true;
    }

    std::size_t sites() const { return vs30.size(); }
};
