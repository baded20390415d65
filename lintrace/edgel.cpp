// The edgel table: every edge-point candidate that suppression finds, by position.
//
// Suppression adds the candidates in raster order; linking finds them by
// position, flags them strong, takes them out, and sweeps over those still in
// the table. The sweep meets the records bucket by bucket, 19999 down to 0,
// where a record's bucket is trunc(1000 x + y) mod 20000, and each bucket
// newest first. Records are never re-added, so the sweep's order is a fixed
// order of the records from which taken-out ones are dropped; a position is
// found through a bitset of occupied pixels instead of a bucket walk, so
// neither a lookup nor a removal depends on how full a bucket is.
#include <algorithm>
#include <bit>
#include <cstdio>

#include "detector.h"
#include "memory.h"

namespace {

int64_t word_of(int64_t position) { return position >> 6; }
uint64_t bit_of(int64_t position) { return uint64_t{1} << (position & 63); }

// The record at a pixel, whether or not it is still in the table.
uint32_t record_at(const EdgelTable* table, int64_t x, int64_t y)
{
    if (x < 0 || y < 0 || x >= table->columns || y >= table->rows) return NO_EDGEL;
    const int64_t position = y * table->columns + x;
    const uint64_t word = table->occupied[word_of(position)];
    if ((word & bit_of(position)) == 0) return NO_EDGEL;
    return table->records_before[word_of(position)] +
           static_cast<uint32_t>(std::popcount(word & (bit_of(position) - 1)));
}

int bucket_of(const Edgel& edgel) { return edgel_key(edgel.x, edgel.y); }

}  // namespace

void new_edgel_list(EdgelTable* table, int64_t columns, int64_t rows, bool keep_sub_pixel)
{
    *table = EdgelTable{};
    table->columns = columns;
    table->rows = rows;
    table->keeps_sub_pixel = keep_sub_pixel;
    const size_t words = static_cast<size_t>((columns * rows + 63) / 64);
    table->occupied.assign(words, 0);
    table->records_before.assign(words, 0);
}

// trunc(x * 1000 + y) mod 20000, the remainder taking the dividend's sign. The
// sum is truncated to 64 bits, which for every position of an image narrower
// than 2147484 columns is the same as truncating to 32 bits, and which keeps
// the key in range for wider ones.
int edgel_key(double x, double y)
{
    return static_cast<int>(static_cast<long long>(x * 1000.0 + y) % EDGEL_BUCKETS);
}

void add_edgel(EdgelTable* table, int32_t x, int32_t y, int high, double sub_x, double sub_y)
{
    const int64_t position = static_cast<int64_t>(y) * table->columns + x;
    if (x < 0 || y < 0 || x >= table->columns || y >= table->rows || position <= table->last_position)
        errmsg("Edge points must be stored inside the image, in raster order");
    if (table->records.size() >= NO_EDGEL) errmsg("Too many edge-point candidates");
    if (table->last_position < 0 || word_of(position) != word_of(table->last_position))
        table->records_before[word_of(position)] = static_cast<uint32_t>(table->records.size());
    table->occupied[word_of(position)] |= bit_of(position);
    table->last_position = position;
    table->records.push_back(Edgel{x, y});
    table->flags.push_back(static_cast<uint8_t>(EDGEL_IN_TABLE | (high ? EDGEL_HIGH : 0)));
    if (table->keeps_sub_pixel) {
        table->sub_x.push_back(sub_x);
        table->sub_y.push_back(sub_y);
    }
}

uint32_t get_edgel(EdgelTable* table, int64_t x, int64_t y)
{
    const uint32_t index = get_edgel_ptr(table, x, y);
    if (index != NO_EDGEL) table->flags[index] &= static_cast<uint8_t>(~EDGEL_IN_TABLE);
    return index;
}

uint32_t get_edgel_ptr(const EdgelTable* table, int64_t x, int64_t y)
{
    const uint32_t index = record_at(table, x, y);
    if (index == NO_EDGEL || (table->flags[index] & EDGEL_IN_TABLE) == 0) return NO_EDGEL;
    return index;
}

void set_edgel_high(EdgelTable* table, int64_t x, int64_t y)
{
    const uint32_t index = get_edgel_ptr(table, x, y);
    if (index == NO_EDGEL) {
        std::fprintf(stderr, "\n\nERROR:  Could not set (%.1f, %.1f) high!\n", static_cast<double>(x),
                     static_cast<double>(y));
        return;
    }
    table->flags[index] |= EDGEL_HIGH;
}

std::vector<uint32_t> edgel_sweep_order(const EdgelTable* table)
{
    // A counting sort by bucket: bucket 19999 takes the first places, and each
    // bucket is filled from its newest record down.
    std::vector<uint32_t> start(EDGEL_BUCKETS + 1, 0);
    const uint32_t count = static_cast<uint32_t>(table->records.size());
    for (uint32_t i = 0; i < count; ++i)
        if (table->flags[i] & EDGEL_IN_TABLE) ++start[bucket_of(table->records[i])];
    uint32_t placed = 0;
    for (int bucket = EDGEL_BUCKETS - 1; bucket >= 0; --bucket) {
        const uint32_t in_bucket = start[bucket];
        start[bucket] = placed;
        placed += in_bucket;
    }
    std::vector<uint32_t> order(placed);
    for (uint32_t i = count; i-- > 0;)
        if (table->flags[i] & EDGEL_IN_TABLE) order[start[bucket_of(table->records[i])]++] = i;
    return order;
}

void sort_in_sweep_order(const EdgelTable* table, std::vector<uint32_t>* indices)
{
    std::sort(indices->begin(), indices->end(), [table](uint32_t a, uint32_t b) {
        const int bucket_a = bucket_of(table->records[a]);
        const int bucket_b = bucket_of(table->records[b]);
        return bucket_a != bucket_b ? bucket_a > bucket_b : a > b;
    });
}
