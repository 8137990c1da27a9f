#pragma once

// The plain transcription of every model (tests/plain_models.cpp), for programs that check the
// kernels against it by the models' names.

#include <cstddef>

struct PlainModel {
    const char *model;
    const char *convention;
    void (*rows)(const double *sites, std::size_t n, double *out);  // n sites of (vs30, vs30_sim, pga)
};

extern "C" const PlainModel plain_model_table[];
extern "C" const std::size_t plain_model_count;
