// The gradient rows of a band, by the convolution: dx and dy of every row
// the band's tests read, and the magnitudes they can read.
//
// A magnitude is read only by the tests of the pixels around it, and only
// when their own magnitude reaches the low threshold, which the squared
// gradient tells in advance: a pixel whose square lies below low^2 (1 -
// 2^-20) cannot reach it, whatever the roundings of hypot and of the square.
// So only the magnitudes within a pixel of one that can reach it are
// computed; the others are left at zero, below the threshold, the way the
// tests would have found them. (For thresholds so small or large that their
// square loses precision, every magnitude is computed.)
#include "gradient_rows.h"

#include <algorithm>

ConvolvedGradient::ConvolvedGradient(GreyRows pixels, int columns, int rows, const GaussianKernel* kernel,
                                     const VectorKernels& kernels, double low, int first_row, int last_row,
                                     int first_column, int end_column)
    : kernels_(kernels),
      columns_(columns),
      first_row_(first_row),
      last_row_(last_row),
      first_column_(first_column),
      end_column_(end_column),
      screened_(low >= 1e-100 && low <= 1e100),
      squared_low_(low * low * (1 - 0x1p-20)),
      words_((columns + 63) / 64),
      dx_(4 * static_cast<size_t>(columns)),
      dy_(4 * static_cast<size_t>(columns)),
      magnitude_(4 * static_cast<size_t>(columns)),
      reaching_(4 * static_cast<size_t>(words_)),
      needed_(static_cast<size_t>(words_))
{
    gradient_rows_init(&window_, pixels, columns, rows, kernel, kernels);
}

// dx and dy of row r (with every magnitude, unscreened), and which of the
// band's pixels there can reach the threshold.
void ConvolvedGradient::derivatives(int r)
{
    gradient_row(&window_, r, slot(dx_, r), slot(dy_, r), screened_ ? nullptr : slot(magnitude_, r));
    if (!screened_ || r < first_row_ || r >= last_row_) return;
    uint64_t* bits = reaching_row(r);
    reaching_cells(kernels_, slot(dx_, r), slot(dy_, r), columns_, squared_low_, bits);
    // Only the pixels the tests look at count.
    for (int c = 0; c < std::min(first_column_, columns_); ++c) bits[c / 64] &= ~(uint64_t{1} << (c % 64));
    for (int c = std::max(end_column_, 0); c < columns_; ++c) bits[c / 64] &= ~(uint64_t{1} << (c % 64));
}

// The magnitudes of row r that the tests of rows r - 1 .. r + 1 can read.
void ConvolvedGradient::magnitudes(int r)
{
    if (!screened_) return;
    std::fill(needed_.begin(), needed_.end(), 0);
    for (int q = std::max(r - 1, first_row_); q <= std::min(r + 1, last_row_ - 1); ++q)
        for (int w = 0; w < words_; ++w) needed_[w] |= reaching_row(q)[w];
    uint64_t carry = 0;
    for (int w = 0; w < words_; ++w) {
        const uint64_t bits = needed_[w];
        const uint64_t next = w + 1 < words_ ? needed_[w + 1] : 0;
        needed_[w] = bits | bits << 1 | carry | bits >> 1 | next << 63;
        carry = bits >> 63;
    }
    gradient_magnitudes(kernels_, slot(dx_, r), slot(dy_, r), slot(magnitude_, r), columns_, needed_.data());
}

GradientWindow ConvolvedGradient::window(int j)
{
    // Row j's test reads the magnitudes of rows j - 1 .. j + 1, and which of
    // row j + 1's are read depends on the pixels of row j + 2 that can reach
    // the threshold: rows are computed two ahead of the row tested.
    if (j == first_row_) {
        for (int r = first_row_ - 1; r <= first_row_ + 1; ++r) derivatives(r);
        magnitudes(first_row_ - 1);
        magnitudes(first_row_);
    }
    if (j + 2 <= last_row_) derivatives(j + 2);
    magnitudes(j + 1);
    return GradientWindow{slot(magnitude_, j - 1), slot(magnitude_, j), slot(magnitude_, j + 1), slot(dx_, j),
                          slot(dy_, j)};
}
