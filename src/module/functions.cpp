#include "module/functions.hpp"

namespace {
constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;  // 0xa2
constexpr int noargs_flags = METH_NOARGS | METH_STATIC;                      // 0x24
static_assert(fastcall_flags == 0xa2 && noargs_flags == 0x24);

// The docstrings hold only text signatures: __text_signature__ is set and __doc__ is None.
PyMethodDef method(const char *name, PyCFunctionFastWithKeywords function, const char *doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), fastcall_flags, doc};
}
PyMethodDef method(const char *name, PyCFunction function, const char *doc) {
    return {name, function, noargs_flags, doc};
}
}  // namespace

PyMethodDef function_table[function_count] = {
    method("_bayless_abrahamson_2018_eas", bayless_abrahamson_2018_eas,
           "_bayless_abrahamson_2018_eas(vs30_py, vs30_sim_py, pga_py)\n--\n\n"),
    method("_bayless_abrahamson_2018_frequencies", bayless_abrahamson_2018_frequencies,
           "_bayless_abrahamson_2018_frequencies()\n--\n\n"),
    method("_campbell_bozorgnia_2014_frequencies", campbell_bozorgnia_2014_frequencies,
           "_campbell_bozorgnia_2014_frequencies()\n--\n\n"),
    method("_campbell_bozorgnia_2014", campbell_bozorgnia_2014,
           "_campbell_bozorgnia_2014(vs30_py, vs30_sim_py, pga_py)\n--\n\n"),
};
