#include "module/functions.hpp"

#include <string_view>

#include "call/arguments.hpp"
#include "python_glue/text_signature.hpp"

namespace {
constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;  // 0xa2
constexpr int noargs_flags = METH_NOARGS | METH_STATIC;                      // 0x24
static_assert(fastcall_flags == 0xa2 && noargs_flags == 0x24);

// The docstrings hold only the text signature, so that __doc__ is None. The amplification
// functions' parameters are the binder's own names, so the two cannot drift.
constexpr TextSignature text_signature(std::string_view name, bool site_arrays) {
    return site_arrays ? ::text_signature(name, parameter_names) : ::text_signature(name, {});
}

constexpr char ba18_grid_name[] = "_bayless_abrahamson_2018_frequencies";
constexpr char cb14_grid_name[] = "_campbell_bozorgnia_2014_frequencies";

constexpr TextSignature ba18_signature = text_signature(ba18_function_name, true);
constexpr TextSignature ba18_grid_signature = text_signature(ba18_grid_name, false);
constexpr TextSignature cb14_grid_signature = text_signature(cb14_grid_name, false);
constexpr TextSignature cb14_signature = text_signature(cb14_function_name, true);

PyMethodDef method(const char *name, PyCFunctionFastWithKeywords function, const TextSignature &doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), fastcall_flags, doc.text};
}
PyMethodDef method(const char *name, PyCFunction function, const TextSignature &doc) {
    return {name, function, noargs_flags, doc.text};
}
}  // namespace

PyMethodDef function_table[function_count] = {
    method(ba18_function_name, bayless_abrahamson_2018_eas, ba18_signature),
    method(ba18_grid_name, bayless_abrahamson_2018_frequencies, ba18_grid_signature),
    method(cb14_grid_name, campbell_bozorgnia_2014_frequencies, cb14_grid_signature),
    method(cb14_function_name, campbell_bozorgnia_2014, cb14_signature),
};
