// The gradient at single pixels: convolve.cpp's rows, one cell at a time.
//
// A row's sums run over their inputs in a fixed order, out = ((0 + in[0] w[0])
// + in[1] w[1]) + ..., in the vector lanes and in the scalar tail alike; the
// sums here take the same inputs with the same weights in the same order:
//   raw dx  sources to the left (D(taps) .. D(1)), then to the right (-D(1) ..)
//   dx      raw dx of rows first .. last, weights G(|s - r|), upper rows first
//   raw dy  rows above (D(r - s)), then rows below (-D(s - r))
//   dy      raw dy of columns c - taps .. c + taps, weights G(|k|)
// A source beyond the columns is a zero of the padded row; adding its product
// (a zero) to a sum that starts at +0 leaves every bit as it is, so it is
// left out.
#include "point_gradient.h"

#include <algorithm>
#include <cmath>

namespace lintrace::detail {

PointGradient::PointGradient(const ImageView& image, double sigma) : image_(image)
{
    check_image_view(image);
    kernel_ = gaussian_vectors(mask_size(sigma), sigma, std::max(image.width, image.height));
    taps_ = kernel_.half - 1;
}

double PointGradient::level(int64_t r, int64_t c) const
{
    if (c < 0 || c >= image_.width) return 0.0;
    return grey_level_at(image_, r, c);
}

double PointGradient::raw_dx(int64_t r, int64_t c) const
{
    const double* deriv = kernel_.deriv_taps.data();
    double sum = 0.0;
    for (int l = taps_; l >= 1; --l)
        if (c - l >= 0) sum += level(r, c - l) * deriv[l];
    for (int l = 1; l <= taps_; ++l)
        if (c + l < image_.width) sum += level(r, c + l) * -deriv[l];
    return sum;
}

double PointGradient::raw_dy(int64_t r, int64_t c) const
{
    if (c < 0 || c >= image_.width) return 0.0;
    const double* deriv = kernel_.deriv_taps.data();
    const int64_t first = std::max<int64_t>(0, r - taps_);
    const int64_t last = std::min<int64_t>(image_.height - 1, r + taps_);
    double sum = 0.0;
    for (int64_t s = first; s < r; ++s) sum += level(s, c) * deriv[r - s];
    for (int64_t s = r + 1; s <= last; ++s) sum += level(s, c) * -deriv[s - r];
    return sum;
}

void PointGradient::at(int64_t x, int64_t y, double* magnitude, double* direction) const
{
    const double* gauss = kernel_.gauss_taps.data();
    const int64_t first = std::max<int64_t>(0, y - taps_);
    const int64_t last = std::min<int64_t>(image_.height - 1, y + taps_);
    double dx = 0.0;
    for (int64_t s = first; s <= last; ++s) dx += raw_dx(s, x) * gauss[s < y ? y - s : s - y];
    double dy = 0.0;
    for (int k = -taps_; k <= taps_; ++k) {
        if (x + k < 0 || x + k >= image_.width) continue;
        dy += raw_dy(y, x + k) * gauss[k < 0 ? -k : k];
    }
    *magnitude = gradient_magnitude(dx, dy);
    *direction = std::atan2(dy, dx);
}

}  // namespace lintrace::detail
