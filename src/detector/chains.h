// What linking builds: junctions, the points of the edges' chains, the
// edges themselves, and the map of the junctions still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bulk.h"

constexpr uint32_t NO_JUNCTION = UINT32_MAX;

// A junction. A chain that arrives from direction d ends at the junction's
// position plus the offset of d, so which branches have arrived is all that
// needs keeping of them. The sub-pixel position is that of the candidate that
// stood at the pixel, found there in the table when the list is written.
// Open junctions form a list, newest first, through `older`; a junction that
// closes only clears `open`, and the next pass over the list steps it out,
// so that a junction takes 16 bytes (a diagonal grid of lines makes nearly
// every candidate one).
struct Junction {
    int32_t x;
    int32_t y;
    uint8_t arrived;  // bit d: a chain has arrived from direction d
    bool has_edgel;   // a candidate stood at the pixel when the junction was made
    bool open;        // on the map of open junctions
    uint32_t older;   // the next open junction on the list, or one closed since
};
static_assert(sizeof(Junction) == 16);

// A point of an edge's chain, by position.
struct ChainPoint {
    int32_t x;
    int32_t y;
};

// Open junctions by pixel: open addressing with linear probing and removal
// by backward shift, so a lookup reads one or two cache lines however many
// junctions are open.
struct PixelMap {
    BulkVector<int64_t> cells;  // EMPTY_CELL where free
    BulkVector<uint32_t> values;
    size_t count = 0;
};
constexpr int64_t EMPTY_CELL = -1;

uint32_t pixel_map_find(const PixelMap* map, int64_t cell);  // NO_JUNCTION when absent
void pixel_map_insert(PixelMap* map, int64_t cell, uint32_t value);
void pixel_map_erase(PixelMap* map, int64_t cell);

// Frees a block of `count` numbers from bulk_allocate.
struct FreeNumbers {
    size_t count = 0;
    void operator()(uint32_t* block) const { bulk_free(block, count, sizeof(uint32_t)); }
};

// The open junctions of one linking, which covers the records first_record ..
// first_record + records - 1 (a junction always stands where a candidate
// stood): a map by pixel while they are few, a number per record once they
// are many (junction.cpp).
struct OpenJunctions {
    uint64_t first_record = 0;
    uint64_t records = 0;
    PixelMap map;
    std::unique_ptr<uint32_t[], FreeNumbers> by_record;  // the junction plus one, 0 where none is open
};

// An edge: its chain is point_count entries of the edge_points of its Links
// from first_point on, head first, and its junctions are of the same Links,
// whose positions are read from the junctions themselves rather than copied
// beside the chain. On a grid of lines nearly every edge is a single point
// between two junctions: such an edge holds its point itself, in place of
// the chain's place. Its walk started from chain point `start` (counted from
// the head) in sweep cycle `cycle`, which together tell when it was traced.
// Every candidate becomes a chain point at most once, and there are fewer
// than 2^32 of them, so the places fit 32 bits; an image of short edges holds
// as many as an edge for every two pixels, so an edge is kept to 24 bytes.
struct ChainPlace {
    uint32_t first_point;
    uint32_t start;
};
struct Edge {
    union {
        ChainPlace chain;  // when point_count > 1
        ChainPoint point;  // when point_count == 1 (the walk started there)
    };
    uint32_t point_count;
    uint32_t start_junction;
    uint32_t end_junction;
    uint32_t cycle : 31;
    uint32_t closed : 1;  // the walk came back onto its own chain: the curve is closed
};
static_assert(sizeof(Edge) == 24);

// An edge's chain, head first.
inline const ChainPoint* chain_of(const BulkVector<ChainPoint>& edge_points, const Edge& edge)
{
    return edge.point_count == 1 ? &edge.point : edge_points.data() + edge.chain.first_point;
}
// The chain point its walk started from.
inline ChainPoint start_of(const BulkVector<ChainPoint>& edge_points, const Edge& edge)
{
    return edge.point_count == 1 ? edge.point : edge_points[edge.chain.first_point + edge.chain.start];
}

// Cycles are counted in 31 bits. Every cycle but the last promotes a
// candidate, so more cycles would take over two billion candidates promoted
// one at a time; linking stops with an error there rather than count wrong.
constexpr uint32_t MAX_CYCLE = (uint32_t{1} << 31) - 1;

// What the linking of one set of groups builds: the junctions with the list
// and map of the open ones, and the edges with their points.
struct Links {
    BulkVector<Junction> junctions;
    uint32_t jct_lst = NO_JUNCTION;  // newest junction of the list of open ones
    OpenJunctions open_junctions;    // record -> open junction
    BulkVector<Edge> edges;
    std::vector<size_t> run_ends;  // the edges come in runs, each in the order traced, ending here
    BulkVector<ChainPoint> edge_points;
};
