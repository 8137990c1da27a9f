#pragma once

#include <cstdlib>
#include <memory>

#include "call/input_view.hpp"
#include "models/site_triple.hpp"

struct FreeDeleter {
    void operator()(void *pointer) const { std::free(pointer); }
};
// The site triples of one call, in input order, owned by the call.
using GatheredSites = std::unique_ptr<SiteTriple[], FreeDeleter>;

// Record i = (vs30[i], vs30_sim[i], pga[i]) for the n = vs30.length sites; the three views
// have that length. Returns false with MemoryError set when the records cannot be allocated.
bool gather_sites(const InputView &vs30, const InputView &vs30_sim, const InputView &pga, GatheredSites &triples);
