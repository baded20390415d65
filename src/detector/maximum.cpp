// Non-maximum suppression and sub-pixel localisation: the rule for one pixel.
//
// A pixel is a candidate when its magnitude reaches the low threshold and is
// a maximum along the gradient direction: above the magnitude one step
// forward, at least the one a step backward, both linearly interpolated
// between two neighbours. A parabola through the three values places the
// edge point at sub-pixel accuracy. The literal twin in the tests
// (literal::local_extrema, literal::localize) must agree with every bit of
// this; the vector kernels (lanes.h) apply the same operations to several
// pixels at once. Which rows are tested, and on which thread, is
// suppress.cpp's business.
#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels.h"
#include "suppress.h"

void localize(double m, double forward, double backward, double slope, double x, double y, double gx, double gy,
              double* sub_x, double* sub_y)
{
    // Distance from the pixel to each interpolation point.
    const double d = std::fabs(slope) < 1 ? std::sqrt(1 + slope * slope) : std::sqrt(1 + 1 / (slope * slope));
    // Vertex of the parabola through (-d, backward), (0, m), (d, forward). The
    // maximum test makes the curvature negative, but the sum forward + backward
    // can round it away: with backward == m and forward one unit in the last
    // place below, (f + b) - 2m is exactly 0 while the true vertex is half-way
    // to the backward point. Only then is the denominator formed again from the
    // two differences, each exact since both magnitudes are within a factor of
    // two of m; should that too be zero, the pixel itself is the best estimate.
    // Every other point keeps the first formula and its bits.
    double denominator = 2 * ((forward + backward) - 2 * m);
    if (!(denominator < 0)) denominator = 2 * ((forward - m) + (backward - m));
    const double u = denominator < 0 ? (d * (backward - forward)) / denominator : 0.0;
    // The forward point lies along (gx, gy) when gx > 0, along the negated
    // gradient when gx < 0, and one row down when gx is zero, whatever the
    // sign of gy.
    if (gx < 0 || (gx == 0 && gy < 0)) {
        gx = -gx;
        gy = -gy;
    }
    *sub_x = x + (u * gx) / m;
    *sub_y = y + (u * gy) / m;
}

namespace {

// The whole test of one pixel: whether it reaches the low threshold and is a
// maximum along its gradient, with the slope and the interpolated magnitudes
// the test compared it with.
inline bool maximum_at(const SuppressionSettings& s, int i, const double* above, const double* here,
                       const double* below, const double* gx_row, const double* gy_row, double* slope_out,
                       double* backward_out, double* forward_out)
{
    const double m = here[i];
    if (!(m >= s.low)) return false;
    const double gx = gx_row[i];
    const double gy = gy_row[i];
    const double slope = gx == 0 ? 0.0 : gy / gx;
    double backward;
    double forward;
    if (gx == 0) {
        backward = above[i];
        forward = below[i];
    } else if (slope < 0) {
        if (slope > -1) {
            backward = (1 + slope) * here[i - 1] - slope * below[i - 1];
            forward = (1 + slope) * here[i + 1] - slope * above[i + 1];
        } else {
            const double w = 1 / slope;
            backward = (1 + w) * below[i] - w * below[i - 1];
            forward = (1 + w) * above[i] - w * above[i + 1];
        }
    } else if (slope < 1) {
        backward = (1 - slope) * here[i - 1] + slope * above[i - 1];
        forward = (1 - slope) * here[i + 1] + slope * below[i + 1];
    } else {
        const double w = 1 / slope;
        backward = (1 - w) * above[i] + w * above[i - 1];
        forward = (1 - w) * below[i] + w * below[i + 1];
    }
    *slope_out = slope;
    *backward_out = backward;
    *forward_out = forward;
    return m > forward && m >= backward;
}

}  // namespace

int row_maxima(const SuppressionSettings& s, const double* above, const double* here, const double* below,
               const double* gx_row, const double* gy_row, std::vector<int>* passed)
{
    const int first = s.half + 1;
    const int end = s.columns - s.half;
    passed->resize(static_cast<size_t>(std::max(end, 0)));
    int* columns = passed->data();
    int count = 0;
    const int tested = s.kernels->maxima(s.low, first, end, above, here, below, gx_row, gy_row, columns, &count);
    for (int i = tested; i < end; ++i) {
        double slope, backward, forward;
        if (maximum_at(s, i, above, here, below, gx_row, gy_row, &slope, &backward, &forward)) columns[count++] = i;
    }
    return count;
}

int suppress_row(const SuppressionSettings& s, int j, const double* above, const double* here, const double* below,
                 const double* gx_row, const double* gy_row, CandidateRows* out)
{
    std::vector<int>& passed = out->passed;
    const int count = row_maxima(s, above, here, below, gx_row, gy_row, &passed);
    out->high.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) out->high[k] = candidate_is_strong(s, here[passed[k]]) ? 1 : 0;
    if (s.sub_pixel) {
        // The sub-pixel positions are worked out several candidates at a time
        // too, with the same operations.
        std::vector<double>& sub_x = out->sub_x;
        std::vector<double>& sub_y = out->sub_y;
        sub_x.resize(static_cast<size_t>(count));
        sub_y.resize(static_cast<size_t>(count));
        const int placed = s.kernels->localize(j, passed.data(), count, above, here, below, gx_row, gy_row,
                                               sub_x.data(), sub_y.data());
        for (int k = placed; k < count; ++k) {
            const int i = passed[k];
            double slope = 0, backward = 0, forward = 0;  // set by the test, which the pixel passed
            maximum_at(s, i, above, here, below, gx_row, gy_row, &slope, &backward, &forward);
            localize(here[i], forward, backward, slope, i, j, gx_row[i], gy_row[i], &sub_x[k], &sub_y[k]);
        }
        if (s.refine != nullptr)
            refine_row(*s.refine, j, passed.data(), count, above, here, below, gx_row, gy_row, sub_x.data(),
                       sub_y.data());
        for (int k = 0; k < count; ++k) out->sub_pixels.push_back(SubPixel{sub_x[k], sub_y[k]});
    }
    if (out->keep_records)
        for (int k = 0; k < count; ++k) out->records.push_back(Edgel{passed[k], j});
    return count;
}
