// The table of edge-point candidates (edgel.cpp): what suppression found, by
// position, for linking and for the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bulk.h"

constexpr uint32_t NO_EDGEL = UINT32_MAX;
// The image holds more candidates than a record number can count.
constexpr const char* TOO_MANY_CANDIDATES = "Too many edge-point candidates";
constexpr int EDGEL_BUCKETS = 20000;

// One candidate, by its pixel. Its index in the table is the number of
// candidates before it in raster order.
struct Edgel {
    int32_t x;  // pixel column
    int32_t y;  // pixel row
};

// Per 64 pixels of a row: which hold a candidate, which of those are still in
// the table, which are strong, and how many candidates the image holds before
// them. Everything a lookup needs lies in one cache line. A word never spans
// two rows, so threads working on different rows never share one. Linking
// works on its own copies of the flags, in the labels; it and the writing of
// the list use the words to find a candidate's number.
struct EdgelWord {
    uint64_t occupied;
    uint64_t in_table;
    uint64_t high;
    uint32_t records_before;
};

// A sub-pixel position.
struct SubPixel {
    double x;
    double y;
};

// The candidates of a run in the order they were added (raster order) and,
// when the list is written in sub-pixel mode, their sub-pixel positions. A
// record's index is found from its position by counting the occupied pixels
// before it, so a lookup costs the same on any image size.
struct EdgelTable {
    int64_t columns = 0;
    int64_t rows = 0;
    int64_t first_row = 0;  // the image's row that the words' first row holds (positions are the image's)
    bool sub_pixel = false;
    bool keeps_records = true;  // false: only the words and sub-pixel positions are kept
    BulkVector<Edgel> records;
    BulkVector<SubPixel> sub_pixels;
    BulkVector<EdgelWord> words;
    int64_t words_per_row = 0;
    int64_t last_position = -1;
    uint64_t records_total = 0;  // stays when the records themselves are released
};

// An empty table. Unless `clear`, its words are left unset, for whoever
// stores the candidates to clear row by row (clear_edgel_rows).
void new_edgel_list(EdgelTable* table, int64_t columns, int64_t rows, bool sub_pixel, bool clear = true);
void clear_edgel_rows(EdgelTable* table, int64_t first_row, int64_t last_row);
int edgel_key(double x, double y);
// Positions must be added in raster order, each once.
void add_edgel(EdgelTable* table, int32_t x, int32_t y, int high, double sub_x, double sub_y);
// Marks `count` candidates of row y, given by their columns in order, in the
// table's words as records first .. first + count - 1: present, in the table,
// and strong where `high` says so. Parts of the image that share no row can be
// marked at the same time, each numbering its records from 0 and then shifted
// into place.
void place_row_edgels(EdgelTable* table, uint32_t first, int64_t y, const int* columns, const uint8_t* high,
                      size_t count);
// Adds `by` to the numbers of the records of rows first_row .. last_row - 1.
void shift_edgel_rows(EdgelTable* table, int64_t first_row, int64_t last_row, uint32_t by);
uint32_t get_edgel(EdgelTable* table, int64_t x, int64_t y);
uint32_t get_edgel_ptr(const EdgelTable* table, int64_t x, int64_t y);
void set_edgel_high(EdgelTable* table, int64_t x, int64_t y);
bool edgel_is_high(const EdgelTable* table, uint32_t record);
bool edgel_is_high_at(const EdgelTable* table, int64_t x, int64_t y);
// The record of the candidate at (x, y), in the table or taken out; NO_EDGEL
// where there never was one.
uint32_t edgel_index(const EdgelTable* table, int64_t x, int64_t y);
// The number of candidates in rows 0 .. y - 1.
uint64_t edgels_before_row(const EdgelTable* table, int64_t y);
// Drops the list of records once every candidate has been stored: linking and
// writing find the candidates by position alone.
void release_edgel_records(EdgelTable* table);
// The records still in the table, in the order a sweep meets them: bucket
// 19999 down to 0, each bucket newest first.
std::vector<uint32_t> edgel_sweep_order(const EdgelTable* table);
// A key that orders the records at (x, y) the reverse of the way a sweep
// meets them: the bucket of the position above the position's place in the
// raster, which orders records as their indices do (48 bits hold the place
// on any image that fits in memory). For a position inside an image,
// 1000 x + y is below 2^41, so the double sum of edgel_key is exact and its
// bucket is the integer remainder taken here.
inline uint64_t edgel_sweep_key(const EdgelTable* table, int64_t x, int64_t y)
{
    return static_cast<uint64_t>((1000 * x + y) % EDGEL_BUCKETS) << 48 | static_cast<uint64_t>(y * table->columns + x);
}
// Orders `indices` the way a sweep would meet them.
void sort_in_sweep_order(const EdgelTable* table, std::vector<uint32_t>* indices);
