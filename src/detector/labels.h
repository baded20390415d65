// The label image's labels and the masks that query them, the direction
// codes, and the neighbour query every decision of linking goes through
// (labels.cpp).
#pragma once

#include <cstdint>

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

struct Detector;

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
