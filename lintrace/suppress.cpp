// Non-maximum suppression and sub-pixel localisation.
//
// Reads the gradient rows of the convolution and keeps every pixel whose
// magnitude reaches the low threshold and is a maximum along the gradient
// direction: above the magnitude one step forward, at least the one a step
// backward, both linearly interpolated between two neighbours. A parabola
// through the three values places the edge point at sub-pixel accuracy. The
// candidates go, in raster order, into the edgel table, flagged strong when
// their magnitude reaches the high threshold; then every candidate's pixel is
// labelled in the label image, which linking works on.
//
// Only pixels more than half a mask from every border can be stored, so only
// their rows are scanned and only the gradient rows around them computed.
// Bands of rows are independent and can be computed on separate threads;
// their candidates are stored band after band, which is raster order.
#include <algorithm>
#include <cmath>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <system_error>
#include <thread>

#include "detector.h"
#include "memory.h"

void localize(double m, double forward, double backward, double slope, double x, double y, double gx,
              double gy, double* sub_x, double* sub_y)
{
    // Distance from the pixel to each interpolation point.
    const double d = std::fabs(slope) < 1 ? std::sqrt(1 + slope * slope) : std::sqrt(1 + 1 / (slope * slope));
    // Vertex of the parabola through (-d, backward), (0, m), (d, forward). The
    // maximum test makes the denominator negative; should rounding leave it
    // zero or positive, the pixel itself is the best estimate.
    const double denominator = 2 * ((forward + backward) - 2 * m);
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

// The whole test of one pixel, and its storing when it passes.
inline void suppress_pixel(const SuppressionSettings& s, int j, int i, const double* above, const double* here,
                           const double* below, const double* gx_row, const double* gy_row, CandidateRows* out)
{
    const double m = here[i];
    if (!(m >= s.low)) return;
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
    if (!(m > forward && m >= backward)) return;

    double sub_x;
    double sub_y;
    localize(m, forward, backward, slope, i, j, gx, gy, &sub_x, &sub_y);
    out->records.push_back(Edgel{i, j});
    out->high.push_back(m >= s.high ? 1 : 0);
    if (s.keep_sub_pixel) {
        out->sub_x.push_back(sub_x);
        out->sub_y.push_back(sub_y);
    }
}

#ifdef __SSE2__
// The same tests for the pixels i and i + 1 at once: every case's values are
// computed, with the same operations in the same order, and the case's own
// kept. Bit k of the result is set when pixel i + k passes.
inline int maxima_of_two(const SuppressionSettings& s, int i, const double* above, const double* here,
                         const double* below, const double* gx_row, const double* gy_row)
{
    const __m128d zero = _mm_setzero_pd();
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d minus_one = _mm_set1_pd(-1.0);
    const __m128d m = _mm_loadu_pd(here + i);
    const __m128d gx = _mm_loadu_pd(gx_row + i);
    const __m128d gy = _mm_loadu_pd(gy_row + i);
    const __m128d gx_zero = _mm_cmpeq_pd(gx, zero);
    const __m128d slope = _mm_andnot_pd(gx_zero, _mm_div_pd(gy, gx));
    const __m128d w = _mm_div_pd(one, slope);

    const __m128d left = _mm_loadu_pd(here + i - 1), right = _mm_loadu_pd(here + i + 1);
    const __m128d up = _mm_loadu_pd(above + i), up_left = _mm_loadu_pd(above + i - 1), up_right = _mm_loadu_pd(above + i + 1);
    const __m128d down = _mm_loadu_pd(below + i), down_left = _mm_loadu_pd(below + i - 1),
                  down_right = _mm_loadu_pd(below + i + 1);

    const __m128d one_plus_slope = _mm_add_pd(one, slope), one_minus_slope = _mm_sub_pd(one, slope);
    const __m128d one_plus_w = _mm_add_pd(one, w), one_minus_w = _mm_sub_pd(one, w);
    // -1 < slope < 0
    const __m128d b_shallow_down = _mm_sub_pd(_mm_mul_pd(one_plus_slope, left), _mm_mul_pd(slope, down_left));
    const __m128d f_shallow_down = _mm_sub_pd(_mm_mul_pd(one_plus_slope, right), _mm_mul_pd(slope, up_right));
    // slope <= -1
    const __m128d b_steep_down = _mm_sub_pd(_mm_mul_pd(one_plus_w, down), _mm_mul_pd(w, down_left));
    const __m128d f_steep_down = _mm_sub_pd(_mm_mul_pd(one_plus_w, up), _mm_mul_pd(w, up_right));
    // 0 <= slope < 1
    const __m128d b_shallow_up = _mm_add_pd(_mm_mul_pd(one_minus_slope, left), _mm_mul_pd(slope, up_left));
    const __m128d f_shallow_up = _mm_add_pd(_mm_mul_pd(one_minus_slope, right), _mm_mul_pd(slope, down_right));
    // slope >= 1
    const __m128d b_steep_up = _mm_add_pd(_mm_mul_pd(one_minus_w, up), _mm_mul_pd(w, up_left));
    const __m128d f_steep_up = _mm_add_pd(_mm_mul_pd(one_minus_w, down), _mm_mul_pd(w, down_right));

    const auto pick = [](__m128d when, __m128d yes, __m128d no) {
        return _mm_or_pd(_mm_and_pd(when, yes), _mm_andnot_pd(when, no));
    };
    const __m128d negative = _mm_cmplt_pd(slope, zero);
    const __m128d above_minus_one = _mm_cmpgt_pd(slope, minus_one);
    const __m128d below_one = _mm_cmplt_pd(slope, one);
    __m128d backward = pick(negative, pick(above_minus_one, b_shallow_down, b_steep_down),
                            pick(below_one, b_shallow_up, b_steep_up));
    __m128d forward = pick(negative, pick(above_minus_one, f_shallow_down, f_steep_down),
                           pick(below_one, f_shallow_up, f_steep_up));
    backward = pick(gx_zero, up, backward);
    forward = pick(gx_zero, down, forward);

    const __m128d keep = _mm_and_pd(_mm_cmpge_pd(m, _mm_set1_pd(s.low)),
                                    _mm_and_pd(_mm_cmpgt_pd(m, forward), _mm_cmpge_pd(m, backward)));
    return _mm_movemask_pd(keep);
}
#endif

}  // namespace

void suppress_row(const SuppressionSettings& s, int j, const double* above, const double* here, const double* below,
                  const double* gx_row, const double* gy_row, CandidateRows* out)
{
    int i = s.half + 1;
    const int end = s.columns - s.half;
#ifdef __SSE2__
    // Most pixels fail; two at a time are tested, and those that pass are
    // taken through the whole test again one by one and stored.
    for (; i + 2 <= end; i += 2) {
        const int passed = maxima_of_two(s, i, above, here, below, gx_row, gy_row);
        if (passed & 1) suppress_pixel(s, j, i, above, here, below, gx_row, gy_row, out);
        if (passed & 2) suppress_pixel(s, j, i + 1, above, here, below, gx_row, gy_row, out);
    }
#endif
    for (; i < end; ++i) suppress_pixel(s, j, i, above, here, below, gx_row, gy_row, out);
}

namespace {

// Suppression of rows first_row .. last_row - 1, computing the gradient rows
// around them as it goes.
void suppress_band(const SuppressionSettings& s, unsigned char* const* pixels, const GaussianKernel* kernel,
                   int first_row, int last_row, CandidateRows* out)
{
    const int columns = s.columns;
    GradientRows window;
    gradient_rows_init(&window, pixels, columns, s.rows, kernel);
    // Rows j - 1, j and j + 1 of the gradient, kept in three slots by row mod 3.
    std::vector<double> dx(3 * static_cast<size_t>(columns));
    std::vector<double> dy(3 * static_cast<size_t>(columns));
    std::vector<double> magnitude(3 * static_cast<size_t>(columns));
    auto slot = [columns](std::vector<double>& rows, int r) { return rows.data() + (r % 3) * static_cast<size_t>(columns); };
    for (int r = first_row - 1; r < first_row + 1; ++r) gradient_row(&window, r, slot(dx, r), slot(dy, r), slot(magnitude, r));
    for (int j = first_row; j < last_row; ++j) {
        gradient_row(&window, j + 1, slot(dx, j + 1), slot(dy, j + 1), slot(magnitude, j + 1));
        suppress_row(s, j, slot(magnitude, j - 1), slot(magnitude, j), slot(magnitude, j + 1), slot(dx, j), slot(dy, j), out);
    }
}

}  // namespace

void local_extrema(Detector* detector, unsigned char* const* pixels, int mask, double sigma, double low,
                   double high, bool keep_sub_pixel, int threads)
{
    const int columns = detector->XSIZE;
    const int rows = detector->YSIZE;
    new_edgel_list(&detector->edgels, columns, rows, keep_sub_pixel);
    const int64_t half = (static_cast<int64_t>(mask) + 1) / 2;

    // Rows and columns strictly between half and size - half qualify.
    const int64_t first_row = half + 1;
    const int64_t last_row = rows - half;  // exclusive
    if (first_row < last_row && half + 1 < columns - half) {
        const GaussianKernel kernel = gaussian_vectors(mask, sigma, std::max(columns, rows));
        const SuppressionSettings settings{columns, rows, static_cast<int>(half), low, high, keep_sub_pixel};
        // Bands of at least 64 rows and a quarter of a megapixel pay for their thread.
        const int64_t band_rows = last_row - first_row;
        int64_t bands = std::max(1, threads);
        bands = std::min<int64_t>(bands, band_rows / 64);
        bands = std::min<int64_t>(bands, band_rows * columns / (1 << 18));
        bands = std::max<int64_t>(bands, 1);
        std::vector<CandidateRows> found(static_cast<size_t>(bands));
        std::vector<std::thread> workers;
        for (int64_t b = 0; b < bands; ++b) {
            const int begin = static_cast<int>(first_row + band_rows * b / bands);
            const int end = static_cast<int>(first_row + band_rows * (b + 1) / bands);
            bool started = false;
            if (b + 1 < bands) {
                try {
                    workers.emplace_back(suppress_band, std::cref(settings), pixels, &kernel, begin, end, &found[b]);
                    started = true;
                } catch (const std::system_error&) {
                    // No thread to be had: the band is done here instead.
                }
            }
            if (!started) suppress_band(settings, pixels, &kernel, begin, end, &found[b]);
        }
        for (std::thread& worker : workers) worker.join();

        EdgelTable* table = &detector->edgels;
        size_t total = 0;
        for (const CandidateRows& band : found) total += band.records.size();
        table->records.reserve(total);
        if (keep_sub_pixel) {
            table->sub_x.reserve(total);
            table->sub_y.reserve(total);
        }
        for (CandidateRows& band : found) {
            for (size_t k = 0; k < band.records.size(); ++k)
                add_edgel(table, band.records[k].x, band.records[k].y, band.high[k],
                          keep_sub_pixel ? band.sub_x[k] : 0.0, keep_sub_pixel ? band.sub_y[k] : 0.0);
            band = CandidateRows{};
        }
    }

    detector->Record_image.assign(static_cast<size_t>(columns) * rows, LABEL_EMPTY);
    for (const Edgel& edgel : detector->edgels.records)
        detector->Record_image[cell_of(detector, edgel.x, edgel.y)] = LABEL_CANDIDATE;
}
