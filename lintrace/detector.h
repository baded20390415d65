// The detector's records and stages.
//
// A run goes through four stages, each in its own file:
//   convolve.cpp      Gaussian derivative images dx, dy and the gradient magnitude
//   suppress.cpp      non-maximum suppression and sub-pixel placement, filling the
//                     edgel table (edgel.cpp) and the label image (labels.cpp)
//   link.cpp          hysteresis linking of candidates into edges, stopped at
//                     junctions (junction.cpp)
//   connectivity.cpp  the connectivity list file
// The working state of a run is one Detector record handed from stage to stage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bulk.h"
#include "kernels.h"

// The large vectors of a run (see BulkAllocator).
template <typename T>
using BulkVector = std::vector<T, BulkAllocator<T>>;

// ---------------------------------------------------------------------------
// Labels of the label image and the masks that query them (labels.cpp).

constexpr uint8_t LABEL_EMPTY = 0;        // no edge point at this pixel
constexpr uint8_t LABEL_CANDIDATE = 128;  // an edge point no walk has reached yet
constexpr uint8_t LABEL_CHAIN = 64;       // taken by a walk as a chain point
constexpr uint8_t LABEL_JUNCTION = 32;    // taken by a walk as a junction

// The state of a candidate is kept in the low bits of its label, where a
// walk finds it in the cells it reads anyway: whether the candidate is
// strong, whether its record is still in the table, and, while linking,
// whether it has been gathered into its connected group. The masks below
// never look at these bits.
constexpr uint8_t FLAG_STRONG = 16;
constexpr uint8_t FLAG_IN_TABLE = 8;
constexpr uint8_t FLAG_GATHERED = 4;
constexpr uint8_t LABEL_KIND = LABEL_CANDIDATE | LABEL_CHAIN | LABEL_JUNCTION;

// The label a candidate is given when it is stored: in the table, and
// strong if its magnitude reached the high threshold.
constexpr uint8_t candidate_label(bool strong)
{
    return static_cast<uint8_t>(LABEL_CANDIDATE | FLAG_IN_TABLE | static_cast<unsigned>(strong) * FLAG_STRONG);
}

// A cell matches a mask when its label and the mask share a bit.
constexpr int MASK_EDGE_POINT = LABEL_CANDIDATE | LABEL_CHAIN | LABEL_JUNCTION;  // 224
constexpr int MASK_CANDIDATE_OR_CHAIN = LABEL_CANDIDATE | LABEL_CHAIN;           // 192
constexpr int MASK_CANDIDATE_OR_JUNCTION = LABEL_CANDIDATE | LABEL_JUNCTION;     // 160
constexpr int MASK_CANDIDATE = LABEL_CANDIDATE;                                  // 128

// Direction codes 0..7: the step (x_offset[d], y_offset[d]) in (column, row),
// rows growing downwards: lower left, below, lower right, left, upper left,
// above, upper right, right.
constexpr int DIRECTIONS = 8;
extern const int x_offset[DIRECTIONS];
extern const int y_offset[DIRECTIONS];

// ---------------------------------------------------------------------------
// Edge-point candidates (edgel.cpp).

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
    bool keeps_sub_pixel = false;
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
void new_edgel_list(EdgelTable* table, int64_t columns, int64_t rows, bool keep_sub_pixel, bool clear = true);
void clear_edgel_rows(EdgelTable* table, int64_t first_row, int64_t last_row);
int edgel_key(double x, double y);
// Positions must be added in raster order, each once.
void add_edgel(EdgelTable* table, int32_t x, int32_t y, int high, double sub_x, double sub_y);
// Marks `count` candidates, in raster order, in the table's words as records
// first .. first + count - 1: present, in the table, and strong where `high`
// says so. Parts of the image that share no row can be marked at the same
// time, each numbering its records from 0 and then shifted into place.
void place_edgels(EdgelTable* table, uint32_t first, const Edgel* records, const uint8_t* high, size_t count);
// The same for `count` candidates of row y, given by their columns in order.
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

// ---------------------------------------------------------------------------
// Junctions and edges (junction.cpp, link.cpp).

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

// An edge: its chain is point_count entries of the edge_points of its Links
// from first_point on, head first, and its junctions are of the same Links. The position of a start junction stands just before the chain and
// that of an end junction just after it, so that a list of pixel positions
// reads them in line. The sweep cycle and the sweep key of the record its
// walk started from tell when it was traced.
struct Edge {
    uint64_t start_key;
    uint64_t first_point;
    uint32_t point_count;
    uint32_t start_junction;
    uint32_t end_junction;
    uint32_t cycle;
    bool closed;  // the walk came back onto its own chain: the curve is closed
};

// What the linking of one set of groups builds: the junctions with the list
// and map of the open ones, and the edges with their points.
struct Links {
    BulkVector<Junction> junctions;
    uint32_t jct_lst = NO_JUNCTION;  // newest open junction
    PixelMap open_junctions;         // pixel -> open junction
    BulkVector<Edge> edges;  // while linking
    BulkVector<ChainPoint> edge_points;
};

// ---------------------------------------------------------------------------
// The working state of one run.

// An edge of the list: edge `index` of the Links `part`.
struct EdgeRef {
    uint32_t part;
    uint32_t index;
};

struct Detector {
    int XSIZE = 0;
    int YSIZE = 0;
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

// ---------------------------------------------------------------------------
// Gradient (convolve.cpp).

struct GaussianKernel {
    int half = 0;                    // taps per side, centre included
    std::vector<double> gauss_taps;  // G(t), t = 0 .. half-1
    std::vector<double> deriv_taps;  // D(t) = G(t) * (-t / sigma^2)
};

// The mask size for sigma: 4 sigma + 0.5 truncated, at least 3, made odd.
// False when sigma is not positive and finite or the mask does not fit an int.
bool mask_for_sigma(double sigma, int* mask);

// Taps for an odd mask of at least 3. Offsets of `reach` or more cannot land
// inside an image whose larger side is `reach`, so no more taps are computed.
GaussianKernel gaussian_vectors(int mask, double sigma, int64_t reach);

// The grey levels of an image, a pointer per row: bytes, or doubles on the
// same 0..255 scale (for images of other depths, scaled, or of colour).
struct GreyRows {
    unsigned char* const* bytes = nullptr;
    const double* const* levels = nullptr;
};

// Computes the gradient of an image one row at a time, in increasing row order.
// Holds the rows of the horizontal derivative that the vertical smoothing of
// the current row still needs.
struct GradientRows {
    const VectorKernels* kernels = nullptr;
    GreyRows pixels;
    int columns = 0;
    int rows = 0;
    const GaussianKernel* kernel = nullptr;
    int taps = 0;                            // offsets 1 .. taps can land inside the image
    std::vector<double> raw_dx_ring;         // the x-derivative before smoothing, rows r - taps .. r + taps
    int64_t ring_size = 0;                   // rows the ring holds
    int64_t ring_rows_done = 0;              // raw_dx rows computed so far
    std::vector<unsigned char> padded_grey;  // a grey row with `taps` zeros on either side
    std::vector<double> padded_levels;       // the same for rows of doubles
    std::vector<double> padded_raw_dy;       // the y-derivative row before smoothing, padded the same way
    std::vector<double> derivative_weights;  // D(taps) .. D(1), -D(1) .. -D(taps)
    std::vector<double> smoothing_weights;   // G(taps) .. G(1), G(0), G(1) .. G(taps)
    std::vector<const double*> row_inputs;   // room for the inputs and weights of one row's sums
    std::vector<const unsigned char*> grey_inputs;
    std::vector<const double*> level_inputs;
    std::vector<double> weights;
};

void gradient_rows_init(GradientRows* window, GreyRows pixels, int columns, int rows, const GaussianKernel* kernel,
                        const VectorKernels& kernels = vector_kernels());
// dx, dy and magnitude of row r, each `columns` doubles; the magnitude only
// where `magnitude` is given.
void gradient_row(GradientRows* window, int r, double* dx, double* dy, double* magnitude);

// The magnitude of a gradient: the C library's hypot, to the last bit.
double gradient_magnitude(double gx, double gy);
// The magnitudes of cells 0 .. count - 1; where `needed` is given (a bit per
// cell, 64 to a word), only those of the cells whose bit is set, or of their
// neighbours in vectors, and zero elsewhere.
void gradient_magnitudes(const VectorKernels& kernels, const double* dx, const double* dy, double* magnitude,
                         int count, const uint64_t* needed = nullptr);
// Sets the bits (one per cell, 64 to a word; the rest cleared) of the cells
// 0 .. count - 1 where dx dx + dy dy is not below `squared_low`: every cell
// whose magnitude can reach a threshold whose square lies a little above
// `squared_low`.
void reaching_cells(const VectorKernels& kernels, const double* dx, const double* dy, int count, double squared_low,
                    uint64_t* bits);

// ---------------------------------------------------------------------------
// Suppression (suppress.cpp).

void localize(double m, double forward, double backward, double slope, double x, double y, double gx, double gy,
              double* sub_x, double* sub_y);

struct SuppressionSettings {
    const VectorKernels* kernels;
    int columns;
    int rows;
    int half;  // (mask + 1) / 2
    double low;
    double high;
    bool keep_sub_pixel;
};

// Candidates of some rows, in raster order.
struct CandidateRows {
    BulkVector<Edgel> records;
    BulkVector<uint8_t> high;
    BulkVector<SubPixel> sub_pixels;  // only when sub-pixel positions are kept
};

// The candidates of row j, which must lie inside the margin, from the
// magnitude rows j - 1, j, j + 1 and the derivative rows j.
void suppress_row(const SuppressionSettings& settings, int j, const double* above, const double* here,
                  const double* below, const double* gx_row, const double* gy_row, CandidateRows* out);

// Finds the candidates of the image, fills the edgel table and creates the
// label image. Bands of rows of at least `pixels_per_band` pixels (a quarter
// of a megapixel pays for its thread) are processed by up to `threads`
// threads; the result depends on neither number.
void local_extrema(Detector* detector, GreyRows pixels, int mask, double sigma, double low, double high,
                   bool keep_sub_pixel, int threads, int64_t pixels_per_band = 1 << 18, int lanes = 0);

// ---------------------------------------------------------------------------
// Labels (labels.cpp).

int num_neighbors(const Detector* detector, int64_t x, int64_t y, int mask, signed char codes[DIRECTIONS]);

// The eight labels around a cell, in the order num_neighbors lists their
// directions: below, right, above, left, lower right, lower left, upper
// right, upper left.
struct Neighbourhood {
    uint8_t labels[DIRECTIONS];
};
inline Neighbourhood neighbourhood_of(const uint8_t* cell, int64_t width)
{
    return Neighbourhood{{cell[width], cell[1], cell[-width], cell[-1], cell[width + 1], cell[width - 1],
                          cell[-width + 1], cell[-width - 1]}};
}
// The neighbours num_neighbors lists for `mask`, as bit k for the k-th of
// the order above: the side neighbours that match, and a diagonal one that
// matches where neither side cell between the two holds an edge point.
inline unsigned neighbour_bits(const Neighbourhood& around, int mask)
{
    const uint8_t* l = around.labels;
    const unsigned below_free = l[0] == LABEL_EMPTY;
    const unsigned right_free = l[1] == LABEL_EMPTY;
    const unsigned above_free = l[2] == LABEL_EMPTY;
    const unsigned left_free = l[3] == LABEL_EMPTY;
    unsigned bits = 0;
    for (int k = 0; k < DIRECTIONS; ++k) bits |= static_cast<unsigned>((l[k] & mask) != 0) << k;
    const unsigned diagonals_seen = (below_free & right_free) << 4 | (below_free & left_free) << 5 |
                                    (above_free & right_free) << 6 | (above_free & left_free) << 7;
    return bits & (0x0F | diagonals_seen);
}
// The direction code of bit k of neighbour_bits.
extern const signed char code_of_bit[DIRECTIONS];
inline int64_t newx(int64_t x, int i, const signed char codes[])
{
    return x + x_offset[codes[i]];
}
inline int64_t newy(int64_t y, int i, const signed char codes[])
{
    return y + y_offset[codes[i]];
}
inline int64_t cell_of(const Detector* detector, int64_t x, int64_t y)
{
    return y * detector->XSIZE + x;
}

// ---------------------------------------------------------------------------
// Junctions (junction.cpp).

uint32_t get_junction(Detector* detector, Links* links, int64_t x, int64_t y);
// The end point of a chain, at (x, y), has arrived at the junction.
void set_junction(Links* links, uint32_t junction, int64_t x, int64_t y);
int junction_done(const Detector* detector, const Links* links, uint32_t junction, int n, const signed char codes[]);
void delete_junction(const Detector* detector, Links* links, uint32_t junction);

// ---------------------------------------------------------------------------
// Linking (link.cpp).

// Links the candidates into detector->edges, using up to `threads` threads
// for bands of about `records_per_band` candidates (fewer where that makes
// fewer than two bands per thread); the result depends on neither number.
void join_edges(Detector* detector, int threads = 1, uint32_t records_per_band = 1 << 18);

// ---------------------------------------------------------------------------
// Connectivity list (connectivity.cpp).

// "%.1f" of v, as C's printf writes it, into out (room for any double); returns the end.
char* format_one_decimal(double v, char* out, char* limit);
// The texts "v.00" of the numbers 0 .. size - 1 (at most LIMIT of them), for
// pixel lines; a number past them is formatted on its own.
struct PixelTexts {
    static constexpr int64_t LIMIT = 1 << 17;
    using Text = std::array<char, 16>;  // the characters, then their count in the last byte
    explicit PixelTexts(int64_t size);
    std::vector<Text> texts;
};
// Appends to `text` the blocks of the edges at places first .. last - 1 of the
// file, which holds the edges newest first.
void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, std::string* text);
void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, const PixelTexts& numbers,
                  std::string* text);
// Hands the list to `sink` in pieces, in order, formatting pieces of
// `edges_per_piece` edges ahead on up to `threads` threads.
using TextSink = std::function<void(std::string_view)>;
void write_list(const Detector* detector, bool sub_pixel, const TextSink& sink, int threads = 1,
                size_t edges_per_piece = size_t{1} << 13);
