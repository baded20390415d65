// The label image and the neighbour query.
//
// Every pixel holds one label: empty, candidate, chain point or junction.
// num_neighbors lists the edge-point neighbours of a pixel whose labels match
// a mask, as direction codes in a fixed order: the four side neighbours
// first, then a diagonal neighbour only where neither side cell between the
// two is an edge point of any kind. The hiding looks at the raw label, not at
// the mask, so the relation is symmetric and a corner of a one-pixel-wide
// curve is never taken for a branch. Suppression keeps every edge point two
// pixels away from the border, so the 3 x 3 neighbourhood always exists.
#include <bit>

#include "detector.h"

const int x_offset[DIRECTIONS] = {-1, 0, 1, -1, -1, 0, 1, 1};
const int y_offset[DIRECTIONS] = {1, 1, 1, 0, -1, -1, -1, 0};

namespace {

constexpr signed char LOWER_LEFT = 0;
constexpr signed char BELOW = 1;
constexpr signed char LOWER_RIGHT = 2;
constexpr signed char LEFT = 3;
constexpr signed char UPPER_LEFT = 4;
constexpr signed char ABOVE = 5;
constexpr signed char UPPER_RIGHT = 6;
constexpr signed char RIGHT = 7;

}  // namespace

const signed char code_of_bit[DIRECTIONS] = {BELOW, RIGHT, ABOVE, LEFT, LOWER_RIGHT, LOWER_LEFT, UPPER_RIGHT, UPPER_LEFT};

int num_neighbors(const Detector* detector, int64_t x, int64_t y, int mask, signed char codes[DIRECTIONS])
{
    const uint8_t* cell = detector->Record_image.data() + cell_of(detector, x, y);
    int n = 0;
    for (unsigned bits = neighbour_bits(neighbourhood_of(cell, detector->XSIZE), mask); bits != 0; bits &= bits - 1)
        codes[n++] = code_of_bit[std::countr_zero(bits)];
    return n;
}
