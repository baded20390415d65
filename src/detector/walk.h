// Linking's rule: walks, sweeps and junction passes (walk.cpp), as a plain
// reading of the algorithm gives them, run over any set of whole 8-connected
// groups of candidates. How the image is cut into such sets and on which
// threads they are linked is link.cpp's business.
#pragma once

#include <cstdint>
#include <vector>

#include "bulk.h"
#include "chains.h"
#include "state.h"

// A place a walk steps onto. The chain point it comes from (none at the
// start) stands at (prev_x, prev_y); `at_tail` says whether points are
// appended after the tail or put in front of the head; `exchanged` says
// whether a junction met on this side bounds the edge's start instead of its end.
struct Step {
    int64_t x;
    int64_t y;
    bool has_prev;
    int64_t prev_x;
    int64_t prev_y;
    bool at_tail;
    bool exchanged;
};

// The edge a walk builds. Points put in front of the head are kept in the
// order they were put there, so the chain is front reversed, then back.
struct Chain {
    BulkVector<ChainPoint> front;
    BulkVector<ChainPoint> back;
    uint32_t start_junction = NO_JUNCTION;
    uint32_t end_junction = NO_JUNCTION;
    bool closed = false;  // the walk came back onto its own chain
    std::vector<Step> pending;  // second sides not yet walked, innermost last
};

// One set of groups linked on its own (a band, or the groups across the
// cuts): the shared detector, and what the linking builds.
struct Linker {
    Detector* detector;
    Links links;
    Chain chain;
    BulkVector<ChainPoint> stack;  // pixels of a group still to gather from
    uint64_t gathered = 0;          // candidates gathered into groups so far
    BulkVector<uint64_t> strong;   // sweep keys
    BulkVector<uint64_t> promoted;
    BulkVector<uint64_t> scratch;
};

// The sweep key of the candidate at (x, y).
inline uint64_t seed_of(const Linker* linker, int64_t x, int64_t y)
{
    return edgel_sweep_key(&linker->detector->edgels, x, y);
}

// Walks from the candidate at (x, y), building linker->chain.
void walk(Linker* linker, int64_t x, int64_t y);
// Adds the chain just walked as an edge, traced in `cycle`.
void add_edges(Linker* linker, uint32_t cycle);
// The sweep key of the candidate an edge's walk started from.
inline uint64_t start_key(const Detector* detector, const Links& links, const Edge& edge)
{
    const ChainPoint start = start_of(links.edge_points, edge);
    return edgel_sweep_key(&detector->edgels, start.x, start.y);
}
// Starts a walk at every candidate of `order`, all strong, that no walk has
// taken yet.
void sweep(Linker* linker, const BulkVector<uint64_t>& order, uint32_t cycle);
// Makes the candidate neighbours of every open junction strong, and puts
// them, each once, in `promoted`.
void junction_pass(Linker* linker, BulkVector<uint64_t>* promoted);
// Links the groups whose strong members are in linker->strong through all
// their cycles of sweep and junction pass; `in_order`: they are sorted already.
void link_groups(Linker* linker, bool in_order = false);
