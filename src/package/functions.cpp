#include "package/functions.hpp"

#include "package/ba18_conventions.hpp"

PyMethodDef native_functions[] = {
    {"ba18_factors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ba18_factors)), METH_FASTCALL,
     "ba18_factors(vs30, vs30_sim, pga, out, convention)\n--\n\nBayless-Abrahamson (2018) factors under a named "
     "convention, written into out (n x 301)."},
    {nullptr, nullptr, 0, nullptr},
};
