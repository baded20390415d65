// The edgel table: every edge-point candidate that suppression finds, by position.
//
// Suppression adds the candidates in raster order; they are found by
// position, flagged strong, taken out, and swept over while still in the
// table (linking does so on copies of the flags kept in the label image). The sweep meets the records bucket by bucket, 19999 down to 0,
// where a record's bucket is trunc(1000 x + y) mod 20000, and each bucket
// newest first. Records are never re-added, so the sweep's order is a fixed
// order of the records from which taken-out ones are dropped; a position is
// found through bitsets over the pixels instead of a bucket walk, so neither
// a lookup nor a removal depends on how full a bucket is.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include "detector.h"
#include "bulk.h"

namespace {

// A pixel's place in the words: its word and its bit there.
struct Place {
    int64_t word = 0;
    uint64_t bit = 0;
};

bool place_of(const EdgelTable* table, int64_t x, int64_t y, Place* place)
{
    y -= table->first_row;
    if (x < 0 || y < 0 || x >= table->columns || y >= table->rows) return false;
    place->word = y * table->words_per_row + (x >> 6);
    place->bit = uint64_t{1} << (x & 63);
    return true;
}

uint32_t record_index(const EdgelWord& word, uint64_t bit)
{
    return word.records_before + static_cast<uint32_t>(std::popcount(word.occupied & (bit - 1)));
}

int bucket_of(const Edgel& edgel)
{
    return edgel_key(edgel.x, edgel.y);
}

}  // namespace

void new_edgel_list(EdgelTable* table, int64_t columns, int64_t rows, bool sub_pixel, bool clear)
{
    *table = EdgelTable{};
    table->columns = columns;
    table->rows = rows;
    table->sub_pixel = sub_pixel;
    table->words_per_row = (columns + 63) / 64;
    table->words.resize(static_cast<size_t>(table->words_per_row * rows));
    if (clear) clear_edgel_rows(table, 0, rows);
}

void clear_edgel_rows(EdgelTable* table, int64_t first_row, int64_t last_row)
{
    std::fill(table->words.begin() + first_row * table->words_per_row,
              table->words.begin() + last_row * table->words_per_row, EdgelWord{0, 0, 0, 0});
}

// trunc(x * 1000 + y) mod 20000, the remainder taking the dividend's sign. The
// sum is truncated to 64 bits, which for every position of an image narrower
// than 2147484 columns is the same as truncating to 32 bits, and which keeps
// the key in range for wider ones.
int edgel_key(double x, double y)
{
    return static_cast<int>(static_cast<long long>(x * 1000.0 + y) % EDGEL_BUCKETS);
}

namespace {

// Marks record `index`, at (x, y), in the words: present, in the table, and
// strong if `high`.
void mark_edgel(EdgelTable* table, int32_t x, int32_t y, bool high, size_t index)
{
    EdgelWord& word = table->words[(y - table->first_row) * table->words_per_row + (x >> 6)];
    const uint64_t bit = uint64_t{1} << (x & 63);
    if (word.occupied == 0) word.records_before = static_cast<uint32_t>(index);
    word.occupied |= bit;
    word.in_table |= bit;
    if (high) word.high |= bit;
}

}  // namespace

void add_edgel(EdgelTable* table, int32_t x, int32_t y, int high, double sub_x, double sub_y)
{
    const int64_t position = static_cast<int64_t>(y) * table->columns + x;
    Place place;
    if (!place_of(table, x, y, &place) || position <= table->last_position)
        throw std::invalid_argument("Edge points must be stored inside the image, in raster order");
    if (table->records_total >= NO_EDGEL) throw std::length_error(TOO_MANY_CANDIDATES);
    mark_edgel(table, x, y, high != 0, table->records_total);
    table->last_position = position;
    if (table->keeps_records) table->records.push_back(Edgel{x, y});
    ++table->records_total;
    if (table->sub_pixel) {
        table->sub_pixels.push_back(SubPixel{sub_x, sub_y});
    }
}

void place_row_edgels(EdgelTable* table, uint32_t first, int64_t y, const int* columns, const uint8_t* high,
                      size_t count)
{
    EdgelWord* row = table->words.data() + y * table->words_per_row;
    size_t k = 0;
    while (k < count) {
        const int w = columns[k] >> 6;
        const size_t start = k;
        uint64_t occupied = 0;
        uint64_t strong = 0;
        for (; k < count && columns[k] >> 6 == w; ++k) {
            occupied |= uint64_t{1} << (columns[k] & 63);
            strong |= static_cast<uint64_t>(high[k] != 0) << (columns[k] & 63);
        }
        EdgelWord& word = row[w];
        if (word.occupied == 0) word.records_before = static_cast<uint32_t>(first + start);
        word.occupied |= occupied;
        word.in_table |= occupied;
        word.high |= strong;
    }
}

void shift_edgel_rows(EdgelTable* table, int64_t first_row, int64_t last_row, uint32_t by)
{
    for (int64_t w = first_row * table->words_per_row; w < last_row * table->words_per_row; ++w)
        if (table->words[w].occupied != 0) table->words[w].records_before += by;
}

uint32_t get_edgel(EdgelTable* table, int64_t x, int64_t y)
{
    Place place;
    if (!place_of(table, x, y, &place)) return NO_EDGEL;
    EdgelWord& word = table->words[place.word];
    if ((word.in_table & place.bit) == 0) return NO_EDGEL;
    word.in_table &= ~place.bit;
    return record_index(word, place.bit);
}

uint32_t get_edgel_ptr(const EdgelTable* table, int64_t x, int64_t y)
{
    Place place;
    if (!place_of(table, x, y, &place)) return NO_EDGEL;
    const EdgelWord& word = table->words[place.word];
    if ((word.in_table & place.bit) == 0) return NO_EDGEL;
    return record_index(word, place.bit);
}

void set_edgel_high(EdgelTable* table, int64_t x, int64_t y)
{
    Place place;
    if (!place_of(table, x, y, &place) || (table->words[place.word].in_table & place.bit) == 0) {
        std::fprintf(stderr, "\n\nERROR:  Could not set (%.1f, %.1f) high!\n", static_cast<double>(x),
                     static_cast<double>(y));
        return;
    }
    table->words[place.word].high |= place.bit;
}

bool edgel_is_high(const EdgelTable* table, uint32_t record)
{
    return edgel_is_high_at(table, table->records[record].x, table->records[record].y);
}

bool edgel_is_high_at(const EdgelTable* table, int64_t x, int64_t y)
{
    Place place;
    return place_of(table, x, y, &place) && (table->words[place.word].high & place.bit) != 0;
}

uint32_t edgel_index(const EdgelTable* table, int64_t x, int64_t y)
{
    Place place;
    if (!place_of(table, x, y, &place)) return NO_EDGEL;
    const EdgelWord& word = table->words[place.word];
    return (word.occupied & place.bit) == 0 ? NO_EDGEL : record_index(word, place.bit);
}

void release_edgel_records(EdgelTable* table)
{
    decltype(table->records)().swap(table->records);
}

uint64_t edgels_before_row(const EdgelTable* table, int64_t y)
{
    // The first word at or after the row's start that holds a candidate knows
    // how many come before it.
    const int64_t first = y * table->words_per_row;
    for (int64_t w = first; w < static_cast<int64_t>(table->words.size()); ++w)
        if (table->words[w].occupied != 0) return table->words[w].records_before;
    return table->records_total;
}

namespace {

bool in_table(const EdgelTable* table, uint32_t record)
{
    const Edgel& e = table->records[record];
    Place place;
    place_of(table, e.x, e.y, &place);
    return (table->words[place.word].in_table & place.bit) != 0;
}

}  // namespace

std::vector<uint32_t> edgel_sweep_order(const EdgelTable* table)
{
    // A counting sort by bucket: bucket 19999 takes the first places, and each
    // bucket is filled from its newest record down.
    std::vector<uint32_t> start(EDGEL_BUCKETS + 1, 0);
    const uint32_t count = static_cast<uint32_t>(table->records.size());
    for (uint32_t i = 0; i < count; ++i)
        if (in_table(table, i)) ++start[bucket_of(table->records[i])];
    uint32_t placed = 0;
    for (int bucket = EDGEL_BUCKETS - 1; bucket >= 0; --bucket) {
        const uint32_t in_bucket = start[bucket];
        start[bucket] = placed;
        placed += in_bucket;
    }
    std::vector<uint32_t> order(placed);
    for (uint32_t i = count; i-- > 0;)
        if (in_table(table, i)) order[start[bucket_of(table->records[i])]++] = i;
    return order;
}

void sort_in_sweep_order(const EdgelTable* table, std::vector<uint32_t>* indices)
{
    const auto key = [table](uint32_t record) {
        return edgel_sweep_key(table, table->records[record].x, table->records[record].y);
    };
    std::sort(indices->begin(), indices->end(), [&key](uint32_t a, uint32_t b) { return key(a) > key(b); });
}
