// Junctions: edge points with three or more edge-point neighbours.
//
// Walks never pass through a junction. A walk that reaches one records which
// chain arrived from which direction and stops there. A junction stays on the
// list of open junctions, newest first, until every neighbour that is not
// itself a junction is the end point of a chain that arrived; then it leaves
// the list and is never looked at again. The junction takes the sub-pixel
// position of the candidate that stood at its pixel, which leaves the table.
// Open junctions are found by pixel through a hash map kept beside the list
// while they are few, so a lookup reads one or two cache lines however many
// are open; where they become many (on a diagonal grid of lines nearly every
// candidate is a junction left open to the end, and the map took 30 bytes a
// pixel), through a number per record of the candidates instead, which never
// grows. Either way a lookup finds the same junction.
#include <algorithm>

#include "detector.h"

namespace {

size_t home_slot(const PixelMap* map, int64_t cell)
{
    return static_cast<size_t>((static_cast<uint64_t>(cell) * 0x9E3779B97F4A7C15u) >> 32) & (map->cells.size() - 1);
}

void grow(PixelMap* map)
{
    PixelMap larger;
    larger.cells.assign(map->cells.empty() ? 1024 : 2 * map->cells.size(), EMPTY_CELL);
    larger.values.assign(larger.cells.size(), NO_JUNCTION);
    for (size_t k = 0; k < map->cells.size(); ++k)
        if (map->cells[k] != EMPTY_CELL) pixel_map_insert(&larger, map->cells[k], map->values[k]);
    *map = std::move(larger);
}

// The map gives way to the numbers per record when it would hold more than
// one open junction for this many records: its slots (12 bytes, half of them
// free at most) then cost more than the 4 bytes a record of the numbers.
constexpr uint64_t RECORDS_PER_MAPPED_JUNCTION = 16;

uint32_t record_of(const Detector* detector, const OpenJunctions* open, int64_t x, int64_t y)
{
    return static_cast<uint32_t>(edgel_index(&detector->edgels, x, y) - open->first_record);
}

// Turns the map into the numbers per record: the number of each junction plus
// one, 0 where none is open, in a block whose pages are the system's zeros
// until a junction is written there.
void number_by_record(const Detector* detector, OpenJunctions* open)
{
    const size_t count = std::max<uint64_t>(open->records, 1);
    open->by_record = std::unique_ptr<uint32_t[], FreeNumbers>(
        static_cast<uint32_t*>(bulk_allocate_zeroed(count, sizeof(uint32_t))), FreeNumbers{count});
    const PixelMap& map = open->map;
    for (size_t k = 0; k < map.cells.size(); ++k)
        if (map.cells[k] != EMPTY_CELL)
            open->by_record[record_of(detector, open, map.cells[k] % detector->XSIZE,
                                       map.cells[k] / detector->XSIZE + detector->first_row)] =
                map.values[k] + 1;
    open->map = PixelMap{};
}

uint32_t find_open(const Detector* detector, const OpenJunctions* open, int64_t x, int64_t y)
{
    if (open->by_record) return open->by_record[record_of(detector, open, x, y)] - 1;
    return pixel_map_find(&open->map, cell_of(detector, x, y));
}

void open_junction(const Detector* detector, OpenJunctions* open, int64_t x, int64_t y, uint32_t junction)
{
    if (!open->by_record && (open->map.count + 1) * RECORDS_PER_MAPPED_JUNCTION > open->records)
        number_by_record(detector, open);
    if (open->by_record) {
        open->by_record[record_of(detector, open, x, y)] = junction + 1;
        return;
    }
    pixel_map_insert(&open->map, cell_of(detector, x, y), junction);
}

void close_junction(const Detector* detector, OpenJunctions* open, int64_t x, int64_t y)
{
    if (open->by_record) {
        open->by_record[record_of(detector, open, x, y)] = 0;
        return;
    }
    pixel_map_erase(&open->map, cell_of(detector, x, y));
}

}  // namespace

uint32_t pixel_map_find(const PixelMap* map, int64_t cell)
{
    if (map->cells.empty()) return NO_JUNCTION;
    const size_t mask = map->cells.size() - 1;
    for (size_t k = home_slot(map, cell);; k = (k + 1) & mask) {
        if (map->cells[k] == cell) return map->values[k];
        if (map->cells[k] == EMPTY_CELL) return NO_JUNCTION;
    }
}

void pixel_map_insert(PixelMap* map, int64_t cell, uint32_t value)
{
    if (2 * (map->count + 1) > map->cells.size()) grow(map);
    const size_t mask = map->cells.size() - 1;
    size_t k = home_slot(map, cell);
    while (map->cells[k] != EMPTY_CELL && map->cells[k] != cell) k = (k + 1) & mask;
    if (map->cells[k] == EMPTY_CELL) ++map->count;
    map->cells[k] = cell;
    map->values[k] = value;
}

void pixel_map_erase(PixelMap* map, int64_t cell)
{
    if (map->cells.empty()) return;
    const size_t mask = map->cells.size() - 1;
    size_t hole = home_slot(map, cell);
    while (map->cells[hole] != cell) {
        if (map->cells[hole] == EMPTY_CELL) return;
        hole = (hole + 1) & mask;
    }
    // Later entries of the same run move back into the hole unless their home
    // lies cyclically between the hole and where they stand.
    for (size_t k = (hole + 1) & mask; map->cells[k] != EMPTY_CELL; k = (k + 1) & mask) {
        const size_t home = home_slot(map, map->cells[k]);
        const bool stays = hole < k ? (home > hole && home <= k) : (home > hole || home <= k);
        if (stays) continue;
        map->cells[hole] = map->cells[k];
        map->values[hole] = map->values[k];
        hole = k;
    }
    map->cells[hole] = EMPTY_CELL;
    --map->count;
}

uint32_t get_junction(Detector* detector, Links* links, int64_t x, int64_t y)
{
    const int64_t cell = cell_of(detector, x, y);
    const uint32_t open = find_open(detector, &links->open_junctions, x, y);
    if (open != NO_JUNCTION) return open;

    Junction junction{};
    junction.x = static_cast<int32_t>(x);
    junction.y = static_cast<int32_t>(y);
    // The candidate at the pixel, if its record is still in the table, leaves it.
    uint8_t& label = detector->Record_image[cell];
    junction.has_edgel = (label & FLAG_IN_TABLE) != 0;
    label &= static_cast<uint8_t>(~FLAG_IN_TABLE);
    junction.arrived = 0;
    junction.open = true;
    junction.older = links->jct_lst;

    const uint32_t index = static_cast<uint32_t>(links->junctions.size());
    links->junctions.push_back(junction);
    links->jct_lst = index;
    open_junction(detector, &links->open_junctions, x, y, index);
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
    if (!j.open) return;
    close_junction(detector, &links->open_junctions, j.x, j.y);
    j.open = false;
}
