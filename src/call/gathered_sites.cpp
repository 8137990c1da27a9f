#include "call/gathered_sites.hpp"

#include <cstdint>
#include <cstring>

#include "python_glue/python.hpp"

namespace {

// Copies element i of the view into field `member` of record i. Elements are read with memcpy
// because a byte stride need not keep them aligned.
void gather_column(const InputView &view, SiteTriple *records, std::size_t n, double SiteTriple::*member) {
    if (view.stride == sizeof(double) || n < 2) {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(&(records[i].*member), view.data + i * sizeof(double), sizeof(double));
        return;
    }
    const char *element = view.data;
    for (std::size_t i = 0; i < n; ++i, element += view.stride) std::memcpy(&(records[i].*member), element, sizeof(double));
}

}  // namespace

bool gather_sites(const InputView &vs30, const InputView &vs30_sim, const InputView &pga, GatheredSites &triples) {
    const std::size_t n = vs30.length;
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(SiteTriple)) {
        PyErr_NoMemory();
        return false;
    }
    triples.reset(static_cast<SiteTriple *>(std::malloc(n == 0 ? 1 : n * sizeof(SiteTriple))));
    if (!triples) {
        PyErr_NoMemory();
        return false;
    }
    gather_column(vs30, triples.get(), n, &SiteTriple::vs30);
    gather_column(vs30_sim, triples.get(), n, &SiteTriple::vs30_sim);
    gather_column(pga, triples.get(), n, &SiteTriple::pga);
    return true;
}
