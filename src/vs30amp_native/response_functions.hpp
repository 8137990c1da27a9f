#pragma once

#include "python_glue/python.hpp"

// The response functions of vs30amp._native, each declared by its text signature beside its
// code: response_spectrum(records, dt, periods, damping, out, threads, between_samples, /), PSA
// of records, and rotd(h1, h2, dt, periods, damping, percentile, out, threads, between_samples, /),
// RotDnn of pairs of records.
PyMethodDef response_spectrum_method();
PyMethodDef rotd_method();
