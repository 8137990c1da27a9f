#include "vs30amp_native/functions.hpp"

#include "vs30amp_native/ba18_conventions.hpp"
#include "vs30amp_native/model_factors.hpp"
#include "vs30amp_native/response_functions.hpp"

PyMethodDef native_functions[] = {
    {"ba18_factors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ba18_factors)), METH_FASTCALL,
     "ba18_factors(vs30, vs30_sim, pga, out, convention)\n--\n\nBayless-Abrahamson (2018) factors under a named "
     "convention, written into out (n x 301)."},
    {"cb14_factors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cb14_factors)), METH_FASTCALL,
     "cb14_factors(vs30, vs30_sim, pga, out)\n--\n\nCampbell-Bozorgnia (2014) factors, written into out (n x 22)."},
    {"model_frequencies", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_frequencies)),
     METH_FASTCALL, "model_frequencies(model, out)\n--\n\nThe frequencies (Hz) of 'cb14' or 'ba18', written into out."},
    {"response_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_response_spectrum)),
     METH_FASTCALL, "PSA of records at periods (see vs30amp.response_spectrum)."},
    {"rotd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_rotd)), METH_FASTCALL,
     "RotDnn PSA of pairs of records (see vs30amp.rotd)."},
    {nullptr, nullptr, 0, nullptr},
};
