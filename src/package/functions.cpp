#include "package/functions.hpp"

#include "package/response_functions.hpp"

PyMethodDef native_functions[] = {
    {"response_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_response_spectrum)),
     METH_FASTCALL, "PSA of records at periods (see vs30amp.response_spectrum)."},
    {"rotd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_rotd)), METH_FASTCALL,
     "RotDnn PSA of pairs of records (see vs30amp.rotd)."},
    {nullptr, nullptr, 0, nullptr},
};
