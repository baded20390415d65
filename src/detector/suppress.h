// Non-maximum suppression and sub-pixel placement: the rule for one pixel
// (maximum.cpp) and its schedule over bands of rows (suppress.cpp), reading
// the gradient rows that a GradientSource (gradient_rows.h) yields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bulk.h"
#include "edgel.h"
#include "gradient.h"
#include "gradient_rows.h"
#include "kernels.h"
#include "parallel.h"
#include "refine.h"
#include "state.h"

void localize(double m, double forward, double backward, double slope, double x, double y, double gx, double gy,
              double* sub_x, double* sub_y);

struct SuppressionSettings {
    const VectorKernels* kernels;
    int columns;
    int rows;
    int half;  // (mask + 1) / 2
    double low;
    double high;
    bool sub_pixel;
    const RefineModel* refine = nullptr;  // with sub_pixel: the points refined (refine.cpp)
};

// A candidate is strong when its magnitude reaches the high threshold
// (equal counts as strong).
inline bool candidate_is_strong(const SuppressionSettings& settings, double magnitude)
{
    return magnitude >= settings.high;
}

// Candidates of some rows, in raster order.
struct CandidateRows {
    bool keep_records = true;         // false: only the last row's columns and flags
    BulkVector<Edgel> records;
    BulkVector<SubPixel> sub_pixels;  // only when sub-pixel positions are kept
    // The last row's candidates: their columns in order and whether each is
    // strong; room kept from row to row.
    std::vector<int> passed;
    std::vector<uint8_t> high;
    std::vector<double> sub_x;
    std::vector<double> sub_y;
};

// The columns of row j's candidates, in order, into `passed`; returns how
// many. The pixels are tested several at a time: the vector test is the same
// test, operation for operation, so a pixel that passes is a candidate.
int row_maxima(const SuppressionSettings& settings, const double* above, const double* here, const double* below,
               const double* gx_row, const double* gy_row, std::vector<int>* passed);

// The candidates of row j, which must lie inside the margin, from the
// magnitude rows j - 1, j, j + 1 and the derivative rows j: their columns and
// strong flags in `passed` and `high`, and appended to the records (where
// kept) and sub-pixel positions (where placed). Returns how many.
int suppress_row(const SuppressionSettings& settings, int j, const double* above, const double* here,
                 const double* below, const double* gx_row, const double* gy_row, CandidateRows* out);

// The gradient rows of the band of rows first_row .. last_row - 1.
using GradientSourceFor = std::function<std::unique_ptr<GradientSource>(int first_row, int last_row)>;

// Finds the candidates of the image, fills the edgel table and creates the
// label image. Bands of rows of at least `schedule.pixels_per_band` pixels (a quarter
// of a megapixel pays for its thread) are processed by up to `threads`
// threads; the result depends on neither number. With `refine` (and
// sub_pixel) the sub-pixel points are refined across the edge.
void local_extrema(Detector* detector, GreyRows pixels, int mask, double sigma, double low, double high,
                   bool sub_pixel, int threads, const Schedule& schedule = Schedule{},
                   const RefineModel* refine = nullptr);
// The same from gradient rows of another source: `gradient` gives each band's.
void local_extrema(Detector* detector, const GradientSourceFor& gradient, int mask, double low, double high,
                   bool sub_pixel, int threads, const Schedule& schedule = Schedule{},
                   const RefineModel* refine = nullptr);
