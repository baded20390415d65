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

#include "gradient.h"
#include "kernels.h"

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

void gradient_magnitudes(const VectorKernels& kernels, const double* dx, const double* dy, double* magnitude,
                         int count, const uint64_t* needed)
{
    int c = kernels.magnitudes(dx, dy, magnitude, needed, 0, count);
    for (; c < count; ++c)
        magnitude[c] = needed == nullptr || (needed[c / 64] >> (c % 64) & 1) ? gradient_magnitude(dx[c], dy[c]) : 0.0;
}

void reaching_cells(const VectorKernels& kernels, const double* dx, const double* dy, int count, double squared_low,
                    uint64_t* bits)
{
    std::fill(bits, bits + (count + 63) / 64, 0);
    int c = kernels.reaching(dx, dy, squared_low, bits, 0, count);
    for (; c < count; ++c)
        bits[c / 64] |= static_cast<uint64_t>(!(dx[c] * dx[c] + dy[c] * dy[c] < squared_low)) << (c % 64);
}

void gradient_rows_init(GradientRows* window, GreyRows pixels, int columns, int rows, const GaussianKernel* kernel,
                        const VectorKernels& kernels)
{
    window->kernels = &kernels;
    window->pixels = pixels;
    window->columns = columns;
    window->rows = rows;
    window->kernel = kernel;
    const int taps = kernel->half - 1;
    window->taps = taps;
    window->ring_size = std::min<int64_t>(2 * static_cast<int64_t>(taps) + 1, rows);
    window->raw_dx_ring.assign(static_cast<size_t>(window->ring_size) * columns, 0.0);
    window->ring_rows_done = -1;
    if (pixels.levels != nullptr)
        window->padded_levels.assign(static_cast<size_t>(columns) + 2 * taps, 0.0);
    else
        window->padded_grey.assign(static_cast<size_t>(columns) + 2 * taps, 0);
    window->padded_raw_dy.assign(static_cast<size_t>(columns) + 2 * taps, 0.0);
    // A source l to the left adds n D(l), one to the right subtracts it:
    // subtracting a product is adding the product with the weight negated.
    window->derivative_weights.clear();
    for (int l = taps; l >= 1; --l) window->derivative_weights.push_back(kernel->deriv_taps[l]);
    for (int l = 1; l <= taps; ++l) window->derivative_weights.push_back(-kernel->deriv_taps[l]);
    window->smoothing_weights.clear();
    for (int k = -taps; k <= taps; ++k) window->smoothing_weights.push_back(kernel->gauss_taps[k < 0 ? -k : k]);
}

namespace {

// out[c] = ((0 + in[0][c] w[0]) + in[1][c] w[1]) + ... for c < n, in the
// window's lanes, then one cell at a time; the inputs are rows of doubles or
// of grey values.
int accumulate_lanes_of(const VectorKernels& k, double* out, const double* const* in, const double* w, int inputs,
                        int n)
{
    return k.accumulate_doubles(out, in, w, inputs, 0, n);
}
int accumulate_lanes_of(const VectorKernels& k, double* out, const unsigned char* const* in, const double* w,
                        int inputs, int n)
{
    return k.accumulate_bytes(out, in, w, inputs, 0, n);
}

template <typename T>
void accumulate(const GradientRows* window, double* out, const T* const* in, const double* w, int inputs, int n)
{
    int c = accumulate_lanes_of(*window->kernels, out, in, w, inputs, n);
    for (; c < n; ++c) {
        double sum = 0.0;
        for (int k = 0; k < inputs; ++k) sum += static_cast<double>(in[k][c]) * w[k];
        out[c] = sum;
    }
}

double* ring_row(GradientRows* window, int64_t r)
{
    return window->raw_dx_ring.data() + (r % window->ring_size) * window->columns;
}

// Row r of the x-derivative before smoothing: for each cell the sources to
// its left add n D(l), then the sources to its right subtract it.
template <typename T>
void raw_dx_row(GradientRows* window, const T* grey, std::vector<T>* padded_row, std::vector<const T*>* sources,
                double* out)
{
    const int taps = window->taps;
    T* padded = padded_row->data();
    std::copy(grey, grey + window->columns, padded + taps);
    sources->clear();
    for (int l = taps; l >= 1; --l) sources->push_back(padded + taps - l);
    for (int l = 1; l <= taps; ++l) sources->push_back(padded + taps + l);
    accumulate(window, out, sources->data(), window->derivative_weights.data(), 2 * taps, window->columns);
}

void raw_dx_row(GradientRows* window, int r, double* out)
{
    if (window->pixels.levels != nullptr)
        raw_dx_row(window, window->pixels.levels[r], &window->padded_levels, &window->level_inputs, out);
    else
        raw_dx_row(window, window->pixels.bytes[r], &window->padded_grey, &window->grey_inputs, out);
}

// The y-derivative row r before smoothing: rows above add n D(l), rows below
// subtract it.
template <typename T>
void raw_dy_row(GradientRows* window, const T* const* grey, std::vector<const T*>* sources, int r, int first,
                int last, double* out)
{
    const double* deriv = window->kernel->deriv_taps.data();
    std::vector<double>& weights = window->weights;
    sources->clear();
    weights.clear();
    for (int source = first; source < r; ++source) {
        sources->push_back(grey[source]);
        weights.push_back(deriv[r - source]);
    }
    for (int source = r + 1; source <= last; ++source) {
        sources->push_back(grey[source]);
        weights.push_back(-deriv[source - r]);
    }
    accumulate(window, out, sources->data(), weights.data(), static_cast<int>(sources->size()), window->columns);
}

}  // namespace

void gradient_row(GradientRows* window, int r, double* dx, double* dy, double* magnitude)
{
    const int taps = window->taps;
    const int columns = window->columns;
    const int rows = window->rows;
    const double* gauss = window->kernel->gauss_taps.data();
    const int first = std::max(0, r - taps);
    const int last = std::min(rows - 1, r + taps);

    // dx: the x-derivative rows first .. last smoothed along y, upper rows first.
    if (window->ring_rows_done < first - 1) window->ring_rows_done = first - 1;
    while (window->ring_rows_done < last) {
        ++window->ring_rows_done;
        raw_dx_row(window, static_cast<int>(window->ring_rows_done), ring_row(window, window->ring_rows_done));
    }
    std::vector<const double*>& rows_in = window->row_inputs;
    std::vector<double>& weights = window->weights;
    rows_in.clear();
    weights.clear();
    for (int source = first; source <= last; ++source) {
        rows_in.push_back(ring_row(window, source));
        weights.push_back(gauss[source < r ? r - source : source - r]);
    }
    accumulate(window, dx, rows_in.data(), weights.data(), last - first + 1, columns);

    double* raw_dy = window->padded_raw_dy.data() + taps;
    if (window->pixels.levels != nullptr)
        raw_dy_row(window, window->pixels.levels, &window->level_inputs, r, first, last, raw_dy);
    else
        raw_dy_row(window, window->pixels.bytes, &window->grey_inputs, r, first, last, raw_dy);

    // dy: that row smoothed along x, sources from left to right.
    rows_in.clear();
    for (int k = -taps; k <= taps; ++k) rows_in.push_back(raw_dy + k);
    accumulate(window, dy, rows_in.data(), window->smoothing_weights.data(), 2 * taps + 1, columns);

    if (magnitude != nullptr) gradient_magnitudes(*window->kernels, dx, dy, magnitude, columns);
}
