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
#include <cmath>

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

double gradient_magnitude(double gx, double gy) { return std::hypot(gx, gy); }

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

    for (int c = 0; c < columns; ++c) magnitude[c] = gradient_magnitude(dx[c], dy[c]);
}
