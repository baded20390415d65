// Measures of the gradient beside the detector's path (measure.cpp): the
// gradient at given pixels, and a quantile of the magnitudes, which the
// vector outputs and the automatic thresholds ask for.
#pragma once

#include <cstdint>
#include <vector>

#include "chains.h"
#include "gradient.h"
#include "parallel.h"

// The gradient at the pixels of `pixels`: the magnitude (gradient_magnitude)
// and the direction atan2(dy, dx) of each, in its order.
void point_gradients(GreyRows grey, int columns, int rows, int mask, double sigma,
                     const std::vector<ChainPoint>& pixels, int threads, const Schedule& schedule,
                     std::vector<double>* magnitudes, std::vector<double>* directions);
// The smallest magnitude that at least `fraction` (above 0, at most 1) of the
// pixels inside the border margin do not exceed; 0 when no pixel lies inside.
double magnitude_quantile(GreyRows grey, int columns, int rows, int mask, double sigma, double fraction, int threads,
                          const Schedule& schedule);
