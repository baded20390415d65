// Gaussian derivative convolution.
//
// Reads the grey image and computes, row by row, the x-derivative dx (the
// derivative of the Gaussian along x, then smoothed with the Gaussian along y),
// the y-derivative dy (derivative along y, smoothed along x) and the gradient
// magnitude hypot(dx, dy). Pixels outside the image count as black. Leaves the
// rows to non-maximum suppression.
//
// The result is defined as a scatter: every source pixel, in raster order,
// adds its weighted value into its neighbours' cells. Gathering instead gives
// the same bits when every cell receives its terms in the same order, which
// is the order of the sources: increasing column within a row for the
// horizontal passes, increasing row for the vertical ones. Every sum below
// starts from +0.0 and adds its terms in that order. A missing (outside) term
// and a zero term are the same: a sum that starts from +0.0 can never be -0.0,
// and adding a zero of either sign to anything else changes nothing; so rows
// are padded with zeros instead of testing bounds.
#include <algorithm>
#include <bit>
#include <cmath>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "detector.h"
#include "memory.h"

namespace {

constexpr double TWO_PI = 6.283185307179586;

}  // namespace

bool mask_for_sigma(double sigma, int* mask)
{
    if (!(sigma > 0) || !std::isfinite(sigma)) return false;
    const double v = 4.0 * sigma + 0.5;
    if (!(v < 2147483648.0)) return false;
    *mask = static_cast<int>(v);
    if (*mask < 3) *mask = 3;
    if (*mask % 2 == 0) *mask = *mask + 1;  // at most 2147483647, since v < 2^31
    return true;
}

GaussianKernel gaussian_vectors(int mask, double sigma, int64_t reach)
{
    GaussianKernel kernel;
    const int64_t half = (static_cast<int64_t>(mask) + 1) / 2;
    kernel.half = static_cast<int>(std::min<int64_t>(half, std::max<int64_t>(reach, 1)));
    kernel.gauss_taps.resize(kernel.half);
    kernel.deriv_taps.resize(kernel.half);
    const double s2 = sigma * sigma;
    const double twice = 2 * s2;
    const double norm = 1 / (sigma * std::sqrt(TWO_PI));
    // The offset is a double, so D(0) = g * (-0 / s2) is a negative zero.
    for (int t = 0; t < kernel.half; ++t) {
        const double offset = t;
        const double g = std::exp(-(offset * offset) / twice) * norm;
        kernel.gauss_taps[t] = g;
        kernel.deriv_taps[t] = g * (-offset / s2);
    }
    return kernel;
}

// The magnitude is the C library's hypot, bit for bit. The C library's own
// call costs more than the rest of the gradient together, so its algorithm is
// written out here: the larger and the smaller absolute value, sqrt of the sum
// of squares, then one correction step (Borges, "An improved algorithm for
// hypot(a, b)", the variant without fused multiply-add that the library uses
// on this platform), with the same scaling for huge and tiny operands.
namespace {

constexpr double HYPOT_SCALE = 0x1p-600;
constexpr double HYPOT_LARGE = 0x1p+511;
constexpr double HYPOT_TINY = 0x1p-459;
constexpr double HYPOT_EPS = 0x1p-54;

// A NaN whose quiet bit is clear.
inline bool is_signaling(double v)
{
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    return (bits & 0x7ff0000000000000) == 0x7ff0000000000000 && (bits & 0x000fffffffffffff) != 0 &&
           (bits & 0x0008000000000000) == 0;
}

// ax >= ay >= 0, and squaring ax, ay and ax - ay neither overflows nor underflows.
inline double hypot_kernel(double ax, double ay)
{
    double h = std::sqrt(ax * ax + ay * ay);
    double t1;
    double t2;
    if (h <= 2.0 * ay) {
        const double delta = h - ay;
        t1 = ax * (2.0 * delta - ax);
        t2 = (delta - 2.0 * (ax - ay)) * delta;
    } else {
        const double delta = h - ax;
        t1 = 2.0 * delta * (ax - 2.0 * ay);
        t2 = (4.0 * delta - ay) * ay + delta * delta;
    }
    h -= (t1 + t2) / (2.0 * h);
    return h;
}

// True when hypot takes its common path: both finite, ax not huge, ay not
// tiny, and ay not negligible beside ax.
inline bool hypot_common(double ax, double ay)
{
    return ax <= HYPOT_LARGE && ay >= HYPOT_TINY && ay > ax * HYPOT_EPS;
}

}  // namespace

double gradient_magnitude(double x, double y)
{
    if (!std::isfinite(x) || !std::isfinite(y)) {
        if ((std::isinf(x) || std::isinf(y)) && !is_signaling(x) && !is_signaling(y)) return INFINITY;
        return x + y;
    }
    x = std::fabs(x);
    y = std::fabs(y);
    double ax = x < y ? y : x;
    double ay = x < y ? x : y;
    if (ax > HYPOT_LARGE) {
        if (ay <= ax * HYPOT_EPS) return ax + ay;
        return hypot_kernel(ax * HYPOT_SCALE, ay * HYPOT_SCALE) / HYPOT_SCALE;
    }
    if (ay < HYPOT_TINY) {
        if (ax >= ay / HYPOT_EPS) return ax + ay;
        return hypot_kernel(ax / HYPOT_SCALE, ay / HYPOT_SCALE) * HYPOT_SCALE;
    }
    if (ay <= ax * HYPOT_EPS) return ax + ay;
    return hypot_kernel(ax, ay);
}

void gradient_magnitudes(const double* dx, const double* dy, double* magnitude, int count)
{
    // The common path for every cell, two cells per instruction: both branches
    // of the kernel are computed and one is kept, each operation the same IEEE
    // operation on each lane as in the scalar kernel. Cells off the common
    // path are then done one by one.
    int c = 0;
#ifdef __SSE2__
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d four = _mm_set1_pd(4.0);
    for (; c + 2 <= count; c += 2) {
        const __m128d x = _mm_andnot_pd(sign, _mm_loadu_pd(dx + c));
        const __m128d y = _mm_andnot_pd(sign, _mm_loadu_pd(dy + c));
        const __m128d ax = _mm_max_pd(x, y);
        const __m128d ay = _mm_min_pd(x, y);
        const __m128d h = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(ax, ax), _mm_mul_pd(ay, ay)));
        const __m128d delta_y = _mm_sub_pd(h, ay);
        const __m128d near_t1 = _mm_mul_pd(ax, _mm_sub_pd(_mm_mul_pd(two, delta_y), ax));
        const __m128d near_t2 = _mm_mul_pd(_mm_sub_pd(delta_y, _mm_mul_pd(two, _mm_sub_pd(ax, ay))), delta_y);
        const __m128d delta_x = _mm_sub_pd(h, ax);
        const __m128d far_t1 = _mm_mul_pd(_mm_mul_pd(two, delta_x), _mm_sub_pd(ax, _mm_mul_pd(two, ay)));
        const __m128d far_t2 = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_mul_pd(four, delta_x), ay), ay),
                                          _mm_mul_pd(delta_x, delta_x));
        const __m128d near = _mm_cmple_pd(h, _mm_mul_pd(two, ay));
        const __m128d t1 = _mm_or_pd(_mm_and_pd(near, near_t1), _mm_andnot_pd(near, far_t1));
        const __m128d t2 = _mm_or_pd(_mm_and_pd(near, near_t2), _mm_andnot_pd(near, far_t2));
        _mm_storeu_pd(magnitude + c, _mm_sub_pd(h, _mm_div_pd(_mm_add_pd(t1, t2), _mm_mul_pd(two, h))));
    }
#endif
    for (; c < count; ++c) {
        const double x = std::fabs(dx[c]);
        const double y = std::fabs(dy[c]);
        magnitude[c] = hypot_kernel(x < y ? y : x, x < y ? x : y);
    }
    for (c = 0; c < count; ++c) {
        const double x = std::fabs(dx[c]);
        const double y = std::fabs(dy[c]);
        if (!hypot_common(x < y ? y : x, x < y ? x : y)) magnitude[c] = gradient_magnitude(dx[c], dy[c]);
    }
}

void gradient_rows_init(GradientRows* window, unsigned char* const* pixels, int columns, int rows,
                        const GaussianKernel* kernel)
{
    window->pixels = pixels;
    window->columns = columns;
    window->rows = rows;
    window->kernel = kernel;
    window->taps = kernel->half - 1;
    window->ring_size = std::min<int64_t>(2 * static_cast<int64_t>(window->taps) + 1, rows);
    window->raw_dx_ring.assign(static_cast<size_t>(window->ring_size) * columns, 0.0);
    window->ring_rows_done = -1;
    window->padded.assign(static_cast<size_t>(columns) + 2 * window->taps, 0.0);
    window->raw_dy.assign(columns, 0.0);
}

namespace {

// Row r of the x-derivative before smoothing, into `out`: for each cell the
// sources to its left add n * D(l), then the sources to its right subtract it.
void raw_dx_row(GradientRows* window, int r, double* out)
{
    const int taps = window->taps;
    const int columns = window->columns;
    const double* deriv = window->kernel->deriv_taps.data();
    double* padded = window->padded.data();
    const unsigned char* source = window->pixels[r];
    for (int c = 0; c < columns; ++c) padded[taps + c] = source[c];
    std::fill(out, out + columns, 0.0);
    for (int l = taps; l >= 1; --l) {
        const double d = deriv[l];
        const double* left = padded + taps - l;
        for (int c = 0; c < columns; ++c) out[c] += left[c] * d;
    }
    for (int l = 1; l <= taps; ++l) {
        const double d = deriv[l];
        const double* right = padded + taps + l;
        for (int c = 0; c < columns; ++c) out[c] -= right[c] * d;
    }
}

double* ring_row(GradientRows* window, int64_t r)
{
    return window->raw_dx_ring.data() + (r % window->ring_size) * window->columns;
}

}  // namespace

void gradient_row(GradientRows* window, int r, double* dx, double* dy, double* magnitude)
{
    const int taps = window->taps;
    const int columns = window->columns;
    const int rows = window->rows;
    const double* gauss = window->kernel->gauss_taps.data();
    const double* deriv = window->kernel->deriv_taps.data();

    // dx: the x-derivative rows r - taps .. r + taps smoothed along y, upper rows first.
    const int first = std::max(0, r - taps);
    const int last = std::min(rows - 1, r + taps);
    if (window->ring_rows_done < first - 1) window->ring_rows_done = first - 1;
    while (window->ring_rows_done < last) {
        ++window->ring_rows_done;
        raw_dx_row(window, static_cast<int>(window->ring_rows_done), ring_row(window, window->ring_rows_done));
    }
    std::fill(dx, dx + columns, 0.0);
    for (int source = first; source <= last; ++source) {
        const double w = gauss[source < r ? r - source : source - r];
        const double* a = ring_row(window, source);
        for (int c = 0; c < columns; ++c) dx[c] += a[c] * w;
    }

    // The y-derivative before smoothing: rows above add n * D(l), rows below subtract it.
    double* raw_dy = window->raw_dy.data();
    std::fill(raw_dy, raw_dy + columns, 0.0);
    for (int source = first; source < r; ++source) {
        const double d = deriv[r - source];
        const unsigned char* n = window->pixels[source];
        for (int c = 0; c < columns; ++c) raw_dy[c] += static_cast<double>(n[c]) * d;
    }
    for (int source = r + 1; source <= last; ++source) {
        const double d = deriv[source - r];
        const unsigned char* n = window->pixels[source];
        for (int c = 0; c < columns; ++c) raw_dy[c] -= static_cast<double>(n[c]) * d;
    }

    // dy: that row smoothed along x, sources from left to right.
    double* padded = window->padded.data();
    std::copy(raw_dy, raw_dy + columns, padded + taps);
    std::fill(dy, dy + columns, 0.0);
    for (int k = -taps; k <= taps; ++k) {
        const double w = gauss[k < 0 ? -k : k];
        const double* b = padded + taps + k;
        for (int c = 0; c < columns; ++c) dy[c] += b[c] * w;
    }

    gradient_magnitudes(dx, dy, magnitude, columns);
}
