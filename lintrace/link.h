// Hysteresis linking of the candidates into edges (link.cpp).
#pragma once

#include <cstdint>

#include "state.h"

// Links the candidates into detector->edges, using up to `threads` threads
// for bands of about `records_per_band` candidates (fewer where that makes
// fewer than two bands per thread); the result depends on neither number.
void join_edges(Detector* detector, int threads = 1, uint32_t records_per_band = 1 << 18);
