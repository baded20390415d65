// The gradient stage as suppression reads it: rows of dx, dy and magnitude,
// one band of rows after another. Suppression never computes a gradient; it
// asks its source for the rows around the row it tests, so another schedule
// (tiles streamed from a file, another kind of processor) can supply them by
// another source that yields the same numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gradient.h"
#include "kernels.h"

// What the test of row j reads: the magnitudes of rows j - 1, j and j + 1 and
// the derivatives of row j, each a row of `columns` doubles.
struct GradientWindow {
    const double* above;
    const double* here;
    const double* below;
    const double* dx;
    const double* dy;
};

// The gradient rows of one band of rows, asked for in increasing order from
// the band's first row to its last. A magnitude that no test of the band can
// read (one whose neighbours all lie below the low threshold) may be left at
// zero, which no test can tell from its true value.
class GradientSource {
public:
    virtual ~GradientSource() = default;
    virtual GradientWindow window(int j) = 0;
};

// The band's rows by the Gaussian derivative convolution of the grey levels
// (convolve.cpp), each row computed once, with only the magnitudes the tests
// can read.
class ConvolvedGradient final : public GradientSource {
public:
    // Rows first_row .. last_row - 1 are tested; only columns first_column ..
    // end_column - 1 of them are.
    ConvolvedGradient(GreyRows pixels, int columns, int rows, const GaussianKernel* kernel,
                      const VectorKernels& kernels, double low, int first_row, int last_row, int first_column,
                      int end_column);
    GradientWindow window(int j) override;

private:
    double* slot(std::vector<double>& rows, int r) { return rows.data() + (r % 4) * static_cast<size_t>(columns_); }
    uint64_t* reaching_row(int r) { return reaching_.data() + (r % 4) * static_cast<size_t>(words_); }
    void derivatives(int r);
    void magnitudes(int r);

    const VectorKernels& kernels_;
    int columns_;
    int first_row_;
    int last_row_;
    int first_column_;
    int end_column_;
    bool screened_;
    double squared_low_;
    int words_;
    GradientRows window_;
    // Rows j - 1 .. j + 2 of the gradient, kept in four slots by row mod 4.
    std::vector<double> dx_, dy_, magnitude_;
    std::vector<uint64_t> reaching_;  // the cells of those rows that can reach the low threshold
    std::vector<uint64_t> needed_;    // the magnitudes of one row that the tests read
};
