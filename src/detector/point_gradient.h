// The gradient at single pixels, for writers that format the gradient at an
// edge's points long after the detector's rows of it are gone: each value is
// the one the detector computed at that pixel (the same taps, the same sums
// in the same order, the same hypot), read from the image's samples, so
// neither the run nor its caller keeps a magnitude per point.
#pragma once

#include <cstdint>

#include "gradient.h"
#include "lintrace/lintrace.h"

namespace lintrace::detail {

// The grey level the detector traces at row r, column c (ImageView's rule).
double grey_level_at(const ImageView& image, int64_t r, int64_t c);
// Throws std::invalid_argument for a view the detector refuses.
void check_image_view(const ImageView& image);

class PointGradient {
public:
    // The image the edges were traced from and the run's sigma.
    PointGradient(const ImageView& image, double sigma);
    // The magnitude (gradient_magnitude) and direction atan2(dy, dx) at pixel (x, y).
    void at(int64_t x, int64_t y, double* magnitude, double* direction) const;

private:
    double level(int64_t r, int64_t c) const;  // 0 beyond the columns, as the padded rows hold
    double raw_dx(int64_t r, int64_t c) const;
    double raw_dy(int64_t r, int64_t c) const;

    ImageView image_;
    GaussianKernel kernel_;
    int taps_ = 0;
};

}  // namespace lintrace::detail
