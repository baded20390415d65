// Refined sub-pixel placement (refine.cpp): each candidate's point moved
// nearer the true edge, after suppression placed it and after linking chose
// its neighbours. The candidates, their pixels and their order stay as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "gradient.h"
#include "state.h"

// What the detector's own gradient makes of an ideal straight step, which the
// refinement inverts: for the step's slope t = tan(angle to the nearer axis)
// in [0, 1] and the place u in [-1, 1] where it crosses the pixel's row (or
// column), the vertex of the Gaussian fit to the three magnitudes along that
// axis, and the slope the gradient has at the pixel.
struct RefineModel {
    static constexpr int SLOPES = 33;
    static constexpr int PLACES = 65;
    std::vector<double> vertex;  // SLOPES x PLACES, slope-major
    std::vector<double> slope;
    double spread = 0;  // the variance of the smoothing, the pixel's own included
    // What a gentle curve adds to the crossing found on the table's steps,
    // per unit of curvature, along the axis: for the slope t of the normal
    // (away from the circle's centre) in [0, 1] and the crossing u in
    // [-1, 1], BENDS x BEND_PLACES, slope-major; NaN where no crossing is found.
    static constexpr int BENDS = 9;
    static constexpr int BEND_PLACES = 33;
    std::vector<double> bend;
    std::vector<double> bend2;  // and per square of the curvature
    // How far inside a blurred circle its gradient's maximum lies, by the
    // curvature the maximum's own points show, at CURVES curvatures evenly
    // from 0 to TIGHTEST; NaN where no circle's maximum lies so tight.
    static constexpr int CURVES = 129;
    static constexpr double TIGHTEST = 0.5;
    std::vector<double> inside;
};

RefineModel refine_model(const GaussianKernel& kernel);

// Moves the points of row j's candidates (columns[0 .. count - 1], points in
// sub_x, sub_y) onto the edge the three magnitudes along the axis nearer the
// gradient tell of. Reads the magnitude rows j - 1 .. j + 1 and the
// derivative row j, as suppression has them.
void refine_row(const RefineModel& model, int j, const int* columns, int count, const double* above,
                const double* here, const double* below, const double* gx_row, const double* gy_row, double* sub_x,
                double* sub_y);

// Moves every chain point across its edge by what the edge's curvature,
// measured on the chain's refined points, makes the crossing err by, then
// onto the circle fitted to its corrected neighbours.
void refine_curvature(Detector* detector, const RefineModel& model);
