// Hysteresis linking of the candidates into edges (link.cpp).
#pragma once

#include <cstdint>

#include "parallel.h"
#include "state.h"

// Links the candidates into detector->edges, using up to `threads` threads
// for bands of about `schedule.records_per_band` candidates (fewer where that makes
// fewer than two bands per thread); the result depends on neither number.
void join_edges(Detector* detector, int threads = 1, const Schedule& schedule = Schedule{});
