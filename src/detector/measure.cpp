// Measures of the gradient beside the detector's own path.
//
// Reads the grey rows again, through the same gradient rows suppression reads
// (the same kernel, the same sums, the same hypot), so every value here is
// the one the detector computed at that pixel:
//   point_gradients     the gradient at each edge point's pixel, for the
//                       vector formats, once linking has chosen the points;
//   magnitude_quantile  the magnitude below which a given fraction of the
//                       pixels inside the border margin lie, for thresholds
//                       chosen from the image itself.
// Neither runs unless asked for: suppression keeps no magnitudes, so both
// compute the rows they need once more.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "gradient.h"
#include "kernels.h"
#include "measure.h"
#include "parallel.h"

namespace {

// Rows first .. last - 1 cut into bands of at least `pixels_per_band` pixels,
// no more than there are threads; band b is rows begin(b) .. begin(b + 1) - 1.
struct RowBands {
    int64_t first;
    int64_t rows;
    int64_t count;
    int begin(int64_t b) const { return static_cast<int>(first + rows * b / count); }
};

RowBands row_bands(int64_t first, int64_t last, int columns, int threads, int64_t pixels_per_band)
{
    const int64_t rows = last - first;
    int64_t bands = std::max(1, threads);
    bands = std::min<int64_t>(bands, rows * columns / std::max<int64_t>(pixels_per_band, 1));
    bands = std::min<int64_t>(bands, rows);
    return RowBands{first, rows, std::max<int64_t>(bands, 1)};
}

// Computes the gradient rows first .. last - 1 that wanted(r) asks for, in
// increasing order as the gradient rows require, in bands shared out among
// the threads, and hands each to use(r, dx, dy, magnitude); magnitude is
// null unless `with_magnitude`.
template <typename Wanted, typename Use>
void gradient_by_bands(GreyRows grey, int columns, int rows, int mask, double sigma, int64_t first, int64_t last,
                       int threads, const Schedule& schedule, bool with_magnitude, const Wanted& wanted,
                       const Use& use)
{
    const GaussianKernel kernel = gaussian_vectors(mask, sigma, std::max(columns, rows));
    const RowBands bands = row_bands(first, last, columns, threads, schedule.pixels_per_band);
    share_out(static_cast<uint64_t>(threads), static_cast<uint64_t>(bands.count), [&](uint64_t b) {
        GradientRows window;
        gradient_rows_init(&window, grey, columns, rows, &kernel, vector_kernels(schedule.lanes));
        std::vector<double> dx(static_cast<size_t>(columns));
        std::vector<double> dy(static_cast<size_t>(columns));
        std::vector<double> magnitude(with_magnitude ? static_cast<size_t>(columns) : 0);
        double* magnitude_row = with_magnitude ? magnitude.data() : nullptr;
        for (int r = bands.begin(static_cast<int64_t>(b)); r < bands.begin(static_cast<int64_t>(b) + 1); ++r) {
            if (!wanted(r)) continue;
            gradient_row(&window, r, dx.data(), dy.data(), magnitude_row);
            use(r, dx.data(), dy.data(), magnitude_row);
        }
    });
}

}  // namespace

void point_gradients(GreyRows grey, int columns, int rows, int mask, double sigma,
                     const std::vector<ChainPoint>& pixels, int threads, const Schedule& schedule,
                     std::vector<double>* magnitudes, std::vector<double>* directions)
{
    magnitudes->assign(pixels.size(), 0.0);
    directions->assign(pixels.size(), 0.0);
    if (pixels.empty()) return;
    // The points by row (a counting sort), so that each gradient row is
    // computed once, in increasing row order, as the gradient rows require.
    std::vector<int64_t> row_start(static_cast<size_t>(rows) + 1, 0);
    for (const ChainPoint& p : pixels) ++row_start[static_cast<size_t>(p.y) + 1];
    for (int r = 0; r < rows; ++r) row_start[r + 1] += row_start[r];
    std::vector<int64_t> by_row(pixels.size());
    {
        std::vector<int64_t> next(row_start.begin(), row_start.end() - 1);
        for (size_t k = 0; k < pixels.size(); ++k) by_row[next[pixels[k].y]++] = static_cast<int64_t>(k);
    }
    int64_t first_row = 0;
    while (row_start[first_row + 1] == 0) ++first_row;
    int64_t last_row = rows;
    while (row_start[last_row - 1] == row_start[last_row]) --last_row;

    gradient_by_bands(
        grey, columns, rows, mask, sigma, first_row, last_row, threads, schedule, false,
        [&row_start](int r) { return row_start[r] != row_start[r + 1]; },
        [&](int r, const double* dx, const double* dy, const double*) {
            for (int64_t k = row_start[r]; k < row_start[r + 1]; ++k) {
                const int64_t point = by_row[k];
                const int32_t c = pixels[point].x;
                (*magnitudes)[point] = gradient_magnitude(dx[c], dy[c]);
                (*directions)[point] = std::atan2(dy[c], dx[c]);
            }
        });
}

double magnitude_quantile(GreyRows grey, int columns, int rows, int mask, double sigma, double fraction, int threads,
                          const Schedule& schedule)
{
    // The pixels suppression can keep: rows and columns strictly between
    // half and size - half.
    const int64_t half = (static_cast<int64_t>(mask) + 1) / 2;
    const int64_t first = half + 1;
    const int64_t row_end = rows - half;
    const int64_t column_end = columns - half;
    if (!(first < row_end && first < column_end)) return 0.0;
    const int64_t width = column_end - first;
    const int64_t count = (row_end - first) * width;

    BulkVector<double> all(static_cast<size_t>(count));
    gradient_by_bands(
        grey, columns, rows, mask, sigma, first, row_end, threads, schedule, true, [](int) { return true; },
        [&](int r, const double*, const double*, const double* magnitude) {
            std::copy(magnitude + first, magnitude + column_end, all.begin() + (r - first) * width);
        });
    for (double m : all)
        if (std::isnan(m)) throw std::invalid_argument("the image's gradient is not a number at some pixel");

    // The smallest count k with k >= fraction * count, worked out exactly:
    // fraction = m 2^-shift with a whole m, so k = ceil(m count / 2^shift).
    int exponent = 0;
    const double mantissa = std::frexp(fraction, &exponent);
    const auto whole = static_cast<unsigned __int128>(std::ldexp(mantissa, 53));
    const int shift = 53 - exponent;
    const unsigned __int128 product = whole * static_cast<unsigned __int128>(count);
    int64_t needed;
    if (shift >= 120)
        needed = product != 0 ? 1 : 0;  // the product is below 2^117: any count from 1 reaches it
    else
        needed = static_cast<int64_t>((product + ((static_cast<unsigned __int128>(1) << shift) - 1)) >> shift);
    needed = std::clamp<int64_t>(needed, 1, count);
    // Every magnitude up to the needed one's place does not exceed it.
    std::nth_element(all.begin(), all.begin() + (needed - 1), all.end());
    return all[static_cast<size_t>(needed - 1)];
}
