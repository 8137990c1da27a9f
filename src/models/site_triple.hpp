#pragma once

// One site's inputs, in the order the call path gathers them.
struct SiteTriple {
    double vs30;      // the site's Vs30 (m/s)
    double vs30_sim;  // the Vs30 the simulation assumed (m/s)
    double pga;       // peak ground acceleration (g)
};

static_assert(sizeof(SiteTriple) == 24, "site triples are packed records of three doubles");
