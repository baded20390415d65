// What linking builds: junctions, the points of the edges' chains, the
// edges themselves, and the map of the junctions still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bulk.h"

constexpr uint32_t NO_JUNCTION = UINT32_MAX;

// A junction. A chain that arrives from direction d ends at the junction's
// position plus the offset of d, so which branches have arrived is all that
// needs keeping of them. The sub-pixel position is that of the candidate that
// stood at the pixel, found there in the table when the list is written.
struct Junction {
    int32_t x;
    int32_t y;
    uint8_t arrived;  // bit d: a chain has arrived from direction d
    bool has_edgel;   // a candidate stood at the pixel when the junction was made
    uint32_t newer;   // neighbours on the list of open junctions
    uint32_t older;
};

// A point of an edge's chain, by position.
struct ChainPoint {
    int32_t x;
    int32_t y;
};

// Open junctions by pixel: open addressing with linear probing and removal
// by backward shift, so a lookup reads one or two cache lines however many
// junctions are open.
struct PixelMap {
    std::vector<int64_t> cells;  // EMPTY_CELL where free
    std::vector<uint32_t> values;
    size_t count = 0;
};
constexpr int64_t EMPTY_CELL = -1;

uint32_t pixel_map_find(const PixelMap* map, int64_t cell);  // NO_JUNCTION when absent
void pixel_map_insert(PixelMap* map, int64_t cell, uint32_t value);
void pixel_map_erase(PixelMap* map, int64_t cell);

// An edge: its chain is point_count entries of the edge_points of its Links
// from first_point on, head first, and its junctions are of the same Links. The position of a start junction stands just before the chain and
// that of an end junction just after it, so that a list of pixel positions
// reads them in line. The sweep cycle and the sweep key of the record its
// walk started from tell when it was traced.
struct Edge {
    uint64_t start_key;
    uint64_t first_point;
    uint32_t point_count;
    uint32_t start_junction;
    uint32_t end_junction;
    uint32_t cycle;
    bool closed;  // the walk came back onto its own chain: the curve is closed
};

// What the linking of one set of groups builds: the junctions with the list
// and map of the open ones, and the edges with their points.
struct Links {
    BulkVector<Junction> junctions;
    uint32_t jct_lst = NO_JUNCTION;  // newest open junction
    PixelMap open_junctions;         // pixel -> open junction
    BulkVector<Edge> edges;  // while linking
    BulkVector<ChainPoint> edge_points;
};
