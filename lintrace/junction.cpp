// Junctions: edge points with three or more edge-point neighbours.
//
// Walks never pass through a junction. A walk that reaches one records which
// chain arrived from which direction and stops there. A junction stays on the
// list of open junctions, newest first, until every neighbour that is not
// itself a junction is the end point of a chain that arrived; then it leaves
// the list and is never looked at again. The junction takes the sub-pixel
// position of the candidate that stood at its pixel, which leaves the table.
// Open junctions are found by the record of the candidate at their pixel,
// through a table kept beside the list, so a lookup costs the same however
// many junctions are open.
#include "detector.h"

namespace {

// The slot of the open junction at (x, y), made on first use.
uint32_t* open_slot(const Detector* detector, Links* links, int64_t x, int64_t y)
{
    OpenJunctions* open = &links->open_junctions;
    if (open->by_record.empty()) open->by_record.assign(open->records, NO_JUNCTION);
    return &open->by_record[edgel_index(&detector->edgels, x, y) - open->first_record];
}

}  // namespace

uint32_t get_junction(Detector* detector, Links* links, int64_t x, int64_t y)
{
    const int64_t cell = cell_of(detector, x, y);
    uint32_t* slot = open_slot(detector, links, x, y);
    if (*slot != NO_JUNCTION) return *slot;

    Junction junction{};
    junction.x = static_cast<int32_t>(x);
    junction.y = static_cast<int32_t>(y);
    // The candidate at the pixel, if its record is still in the table, leaves it.
    uint8_t& label = detector->Record_image[cell];
    junction.has_edgel = (label & FLAG_IN_TABLE) != 0;
    label &= static_cast<uint8_t>(~FLAG_IN_TABLE);
    junction.arrived = 0;
    junction.newer = NO_JUNCTION;
    junction.older = links->jct_lst;

    const uint32_t index = static_cast<uint32_t>(links->junctions.size());
    if (links->jct_lst != NO_JUNCTION) links->junctions[links->jct_lst].newer = index;
    links->junctions.push_back(junction);
    links->jct_lst = index;
    *slot = index;
    return index;
}

void set_junction(Links* links, uint32_t junction, int64_t x, int64_t y)
{
    Junction& j = links->junctions[junction];
    const int64_t dx = x - j.x;
    const int64_t dy = y - j.y;
    if (dx < -1 || dx > 1 || dy < -1 || dy > 1) return;
    // The direction code of each step (dx, dy), by (dy + 1) * 3 + dx + 1; none for staying.
    static constexpr int8_t direction_of[9] = {4, 5, 6, 3, -1, 7, 0, 1, 2};
    const int d = direction_of[(dy + 1) * 3 + dx + 1];
    if (d >= 0) j.arrived |= static_cast<uint8_t>(1 << d);
}

int junction_done(const Detector* detector, const Links* links, uint32_t junction, int n, const signed char codes[])
{
    const Junction& j = links->junctions[junction];
    for (int k = n - 1; k >= 0; --k) {
        const int d = static_cast<unsigned char>(codes[k]);
        if ((j.arrived & (1 << d)) == 0) return 0;
        if (detector->Record_image[cell_of(detector, j.x + x_offset[d], j.y + y_offset[d])] & LABEL_CANDIDATE) return 0;
    }
    return 1;
}

void delete_junction(const Detector* detector, Links* links, uint32_t junction)
{
    Junction& j = links->junctions[junction];
    uint32_t* slot = open_slot(detector, links, j.x, j.y);
    if (*slot != junction) return;
    *slot = NO_JUNCTION;
    if (j.newer != NO_JUNCTION)
        links->junctions[j.newer].older = j.older;
    else
        links->jct_lst = j.older;
    if (j.older != NO_JUNCTION) links->junctions[j.older].newer = j.newer;
    j.newer = NO_JUNCTION;
    j.older = NO_JUNCTION;
}
