// What linking builds: junctions, the points of the edges' chains, the
// edges themselves, and the map of the junctions still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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

// The open junctions of one linking, which covers the records first_record ..
// first_record + records - 1 (a junction always stands where a candidate
// stood): a map by pixel while they are few, a number per record once they
// are many (junction.cpp).
struct OpenJunctions {
    struct Free {
        void operator()(uint32_t* block) const { std::free(block); }
    };
    uint64_t first_record = 0;
    uint64_t records = 0;
    PixelMap map;
    std::unique_ptr<uint32_t[], Free> by_record;  // the junction plus one, 0 where none is open
};

// An edge: its chain is point_count entries of the edge_points of its Links
// from first_point on, head first, and its junctions are of the same Links,
// whose positions are read from the junctions themselves rather than copied
// beside the chain (on a grid of lines most edges are a point between two
// junctions, and the copies took two thirds of the points). The sweep cycle
// and the sweep key of the record its walk started from tell when it was
// traced.
struct Edge {
    uint64_t start_key;
    // The flag shares the word of the place, which no array reaches 2^63 of,
    // so that an edge takes 32 bytes: images of short edges hold one per
    // pixel or two.
    uint64_t first_point : 63;
    uint64_t closed : 1;  // the walk came back onto its own chain: the curve is closed
    uint32_t point_count;
    uint32_t start_junction;
    uint32_t end_junction;
    uint32_t cycle;
};
static_assert(sizeof(Edge) == 32);

// What the linking of one set of groups builds: the junctions with the list
// and map of the open ones, and the edges with their points.
struct Links {
    BulkVector<Junction> junctions;
    uint32_t jct_lst = NO_JUNCTION;  // newest open junction
    OpenJunctions open_junctions;    // record -> open junction
    BulkVector<Edge> edges;  // while linking
    BulkVector<ChainPoint> edge_points;
};
