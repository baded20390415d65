// The Gaussian derivative gradient, computed row by row (convolve.cpp), and
// its magnitude, the C library's hypot to the last bit (hypot.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "kernels.h"

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
