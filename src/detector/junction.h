// Junctions: where three or more edge points meet (junction.cpp).
#pragma once

#include <cstdint>

#include "chains.h"
#include "labels.h"
#include "state.h"

uint32_t get_junction(Detector* detector, Links* links, int64_t x, int64_t y);
// The end point of a chain, at (x, y), has arrived at the junction.
void set_junction(Links* links, uint32_t junction, int64_t x, int64_t y);
int junction_done(const Detector* detector, const Links* links, uint32_t junction, int n, const signed char codes[]);
void delete_junction(const Detector* detector, Links* links, uint32_t junction);
// Calls visit(junction) for every open junction, newest first, stepping the
// junctions closed since the last pass out of the list on the way.
template <typename Visit>
void each_open_junction(Links* links, const Visit& visit)
{
    uint32_t* link = &links->jct_lst;
    while (*link != NO_JUNCTION) {
        const uint32_t junction = *link;
        Junction& j = links->junctions[junction];
        if (!j.open) {
            *link = j.older;
            continue;
        }
        visit(junction);
        link = &links->junctions[junction].older;
    }
}
