#pragma once

#include "python_glue/python.hpp"

// The spectrum functions of vs30amp._native, declared by its text signature beside its code:
// refined_amplitudes(powers, weights, dt, out, /), the amplitudes of powers interpolated onto a
// finer grid (vs30amp._zoom), and refined_sums(powers, weights, dt, starts, out, /), their sums
// in groups.
PyMethodDef refined_amplitudes_method();
PyMethodDef refined_sums_method();
