// Junctions: edge points with three or more edge-point neighbours.
//
// Walks never pass through a junction. A walk that reaches one records which
// chain arrived from which direction and stops there. A junction stays on the
// list of open junctions, newest first, until every neighbour that is not
// itself a junction is the end point of a chain that arrived; then it leaves
// the list and is never looked at again. The junction takes the sub-pixel
// position of the candidate that stood at its pixel, which leaves the table.
// Open junctions are found by pixel through a map kept beside the list, so a
// lookup costs the same however many junctions are open.
#include "detector.h"

uint32_t get_junction(Detector* detector, int64_t x, int64_t y)
{
    const int64_t cell = cell_of(detector, x, y);
    const auto open = detector->open_junctions.find(cell);
    if (open != detector->open_junctions.end()) return open->second;

    Junction junction{};
    junction.x = static_cast<int32_t>(x);
    junction.y = static_cast<int32_t>(y);
    junction.edgel = get_edgel(&detector->edgels, x, y);
    for (uint32_t& branch : junction.branch) branch = NO_EDGEL;
    junction.newer = NO_JUNCTION;
    junction.older = detector->jct_lst;

    const uint32_t index = static_cast<uint32_t>(detector->junctions.size());
    if (detector->jct_lst != NO_JUNCTION) detector->junctions[detector->jct_lst].newer = index;
    detector->junctions.push_back(junction);
    detector->jct_lst = index;
    detector->open_junctions.emplace(cell, index);
    return index;
}

void set_junction(Detector* detector, uint32_t junction, uint32_t edgel)
{
    Junction& j = detector->junctions[junction];
    const Edgel& e = detector->edgels.records[edgel];
    const int64_t dx = static_cast<int64_t>(e.x) - j.x;
    const int64_t dy = static_cast<int64_t>(e.y) - j.y;
    for (int d = 0; d < DIRECTIONS; ++d) {
        if (x_offset[d] == dx && y_offset[d] == dy) {
            j.branch[d] = edgel;
            return;
        }
    }
}

int junction_done(const Detector* detector, uint32_t junction, int n, const signed char codes[])
{
    const Junction& j = detector->junctions[junction];
    for (int k = n - 1; k >= 0; --k) {
        const uint32_t branch = j.branch[codes[k]];
        if (branch == NO_EDGEL) return 0;
        const Edgel& end = detector->edgels.records[branch];
        if (detector->Record_image[cell_of(detector, end.x, end.y)] & LABEL_CANDIDATE) return 0;
    }
    return 1;
}

void delete_junction(Detector* detector, uint32_t junction)
{
    Junction& j = detector->junctions[junction];
    const auto open = detector->open_junctions.find(cell_of(detector, j.x, j.y));
    if (open == detector->open_junctions.end() || open->second != junction) return;
    detector->open_junctions.erase(open);
    if (j.newer != NO_JUNCTION)
        detector->junctions[j.newer].older = j.older;
    else
        detector->jct_lst = j.older;
    if (j.older != NO_JUNCTION) detector->junctions[j.older].newer = j.newer;
    j.newer = NO_JUNCTION;
    j.older = NO_JUNCTION;
}
