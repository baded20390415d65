// The working state of one run, handed from stage to stage: the image's
// size, the candidates, the label image, and the edges linking traced.
#pragma once

#include <cstdint>
#include <vector>

#include "bulk.h"
#include "chains.h"
#include "edgel.h"
#include "labels.h"

// An edge of the list: edge `index` of the Links `part`.
struct EdgeRef {
    uint32_t part;
    uint32_t index;
};

struct Detector {
    int XSIZE = 0;
    int YSIZE = 0;
    // The image's row that the label image's and the table's first row
    // holds: 0 for a whole image; for a band of a streamed one, the band's
    // first row. Positions are always the image's.
    int64_t first_row = 0;
    EdgelTable edgels;
    BulkVector<uint8_t> Record_image;  // XSIZE * YSIZE labels, row-major
    bool keep_edgel_records = true;  // false: suppression keeps no list of records, only their words
    std::vector<Links> links;           // what each linking thread built
    BulkVector<EdgeRef> edges;  // every edge, in the order traced; written newest first
};

inline const Edge& edge_of(const Detector* detector, EdgeRef ref)
{
    return detector->links[ref.part].edges[ref.index];
}

inline int64_t cell_of(const Detector* detector, int64_t x, int64_t y)
{
    return (y - detector->first_row) * detector->XSIZE + x;
}
