// Refined sub-pixel placement: the rule.
//
// Suppression's parabola is fitted through magnitudes interpolated along the
// gradient, up to a diagonal step away, so its vertex strays from the edge by
// an amount that grows with the gradient's angle to the axes; and on a curved
// edge the gradient's maximum itself lies inside the curve, by the spread of
// the kernel over twice the radius. The refinement removes both, in two steps.
//
// Across the edge: a Gaussian is fitted to the three magnitudes of real
// pixels along the axis nearer the gradient (the pixel and its two
// neighbours on its row, or on its column), so nothing is interpolated. What
// is left of the fit's error depends only on the edge's slope and on where it
// crosses the pixel's row, and the detector's own taps tell it: the gradient
// of an ideal area-sampled straight step is computed once per run at every
// slope and crossing of a table (refine_model), and each candidate's fit and
// gradient slope are looked up in it backwards, to the crossing that gives
// them. The point is the crossing, on the pixel's row (or column).
//
// Along the edge: once linking has ordered the points, the curvature of the
// circle through a point's neighbours on its chain, three points either way,
// tells how far the gradient's maximum lies inside the curve, and the point
// is moved out by that much, along the circle's normal.
//
// Every step reads only what suppression computed for the row (the same bits
// at any vector width) or the positions of the first step (read from a copy,
// so the order of the edges cannot matter); the bands of rows and the number
// of threads change nothing.
#include "refine.h"

#include <algorithm>
#include <cmath>

#include "chains.h"
#include "edgel.h"

namespace {

// A refined crossing lies less than a pixel from its pixel along the axis
// (a steep step crosses a row up to a pixel from a candidate of it), and
// the curvature moves a point by at most a quarter of a pixel: every point
// stays beside its pixel.
constexpr double FARTHEST_CROSSING = 1.0;
constexpr double FARTHEST_SHIFT = 0.25;
// Corrections of the looked-up step: the table's slope and vertex move by a
// few hundredths against the true ones, so each correction leaves a few
// hundredths of the error before it.
constexpr int CORRECTIONS = 2;

// Part of the pixel centred at (x, y) on the side n.p <= c of a straight
// edge with unit normal n: the distribution of n.p over the pixel is the
// convolution of two uniform ones, of widths |nx| and |ny|.
double covered(double x, double y, double nx, double ny, double c)
{
    const double a = std::fabs(nx);
    const double b = std::fabs(ny);
    const double s = c - (nx * x + ny * y);
    if (b < 1e-12 || a < 1e-12) return std::clamp(s / std::max(a, b) + 0.5, 0.0, 1.0);
    const auto ramp = [](double t) { return t > 0 ? 0.5 * t * t : 0.0; };
    const double f =
        (ramp(s + 0.5 * (a + b)) - ramp(s + 0.5 * (a - b)) - ramp(s - 0.5 * (a - b)) + ramp(s - 0.5 * (a + b))) /
        (a * b);
    return std::clamp(f, 0.0, 1.0);
}

// The vertex of the parabola through the logarithms of three magnitudes one
// pixel apart, from the middle one; false where they make no maximum.
bool gaussian_vertex(double before, double middle, double after, double* vertex)
{
    if (!(before > 0 && middle > 0 && after > 0)) return false;
    // Logarithms of the ratios to the middle one: two instead of three.
    const double lb = std::log(before / middle);
    const double la = std::log(after / middle);
    const double curvature = lb + la;
    if (!(curvature < 0)) return false;
    *vertex = 0.5 * (lb - la) / curvature;
    return std::fabs(*vertex) < 1;
}

// The model's slope and vertex at slope t in [0, 1] and place u in [-1, 1],
// each interpolated between its four nearest entries.
void table_at(const RefineModel& model, double t, double u, double* slope, double* vertex)
{
    constexpr int SLOPES = RefineModel::SLOPES;
    constexpr int PLACES = RefineModel::PLACES;
    const double ft = std::clamp(t, 0.0, 1.0) * (SLOPES - 1);
    const double fu = (std::clamp(u, -1.0, 1.0) + 1) * 0.5 * (PLACES - 1);
    const int a = std::min(static_cast<int>(ft), SLOPES - 2);
    const int b = std::min(static_cast<int>(fu), PLACES - 2);
    const double wt = ft - a;
    const double wu = fu - b;
    const size_t at = static_cast<size_t>(a) * PLACES + b;
    const auto blend = [&](const std::vector<double>& table) {
        const double* row = table.data() + at;
        const double* next = row + PLACES;
        return (row[0] * (1 - wu) + row[1] * wu) * (1 - wt) + (next[0] * (1 - wu) + next[1] * wu) * wt;
    };
    *slope = blend(model.slope);
    *vertex = blend(model.vertex);
}

}  // namespace

RefineModel refine_model(const GaussianKernel& kernel)
{
    RefineModel model;
    const int taps = kernel.half - 1;
    const double* g = kernel.gauss_taps.data();
    const double* d = kernel.deriv_taps.data();
    model.vertex.resize(static_cast<size_t>(RefineModel::SLOPES) * RefineModel::PLACES);
    model.slope.resize(model.vertex.size());
    // The ideal step on a patch around pixels (-1, 0), (0, 0), (1, 0): columns
    // -1 - 2 taps .. 1 + 2 taps, rows -2 taps .. 2 taps, bright on the side the
    // normal points to.
    const int half_width = 1 + 2 * taps;
    const int half_height = 2 * taps;
    const int width = 2 * half_width + 1;
    std::vector<double> step(static_cast<size_t>(width) * (2 * half_height + 1));
    const auto level = [&](int x, int y) {
        return step[static_cast<size_t>(y + half_height) * width + (x + half_width)];
    };
    // The gradient at pixel (x, 0) as the convolution defines it: the
    // difference of the sources l to either side, times -D(l), smoothed by
    // G across.
    const auto gradient_at = [&](int x, double* gx, double* gy) {
        double sx = 0;
        double sy = 0;
        for (int k = -taps; k <= taps; ++k) {
            const double w = g[k < 0 ? -k : k];
            double rx = 0;
            double ry = 0;
            for (int l = 1; l <= taps; ++l) {
                rx += -d[l] * (level(x + l, k) - level(x - l, k));
                ry += -d[l] * (level(x + k, l) - level(x + k, -l));
            }
            sx += w * rx;
            sy += w * ry;
        }
        *gx = sx;
        *gy = sy;
    };
    for (int a = 0; a < RefineModel::SLOPES; ++a) {
        const double angle = std::atan(static_cast<double>(a) / (RefineModel::SLOPES - 1));
        const double nx = std::cos(angle);
        const double ny = std::sin(angle);
        for (int b = 0; b < RefineModel::PLACES; ++b) {
            const double u = -1 + 2 * static_cast<double>(b) / (RefineModel::PLACES - 1);
            for (int y = -half_height; y <= half_height; ++y)
                for (int x = -half_width; x <= half_width; ++x)
                    step[static_cast<size_t>(y + half_height) * width + (x + half_width)] =
                        1 - covered(x, y, nx, ny, nx * u);
            double m[3];
            double gx0 = 0;
            double gy0 = 0;
            for (int x = -1; x <= 1; ++x) {
                double gx = 0;
                double gy = 0;
                gradient_at(x, &gx, &gy);
                m[x + 1] = std::hypot(gx, gy);
                if (x == 0) {
                    gx0 = gx;
                    gy0 = gy;
                }
            }
            double vertex = u;
            gaussian_vertex(m[0], m[1], m[2], &vertex);
            const size_t at = static_cast<size_t>(a) * RefineModel::PLACES + b;
            model.vertex[at] = vertex;
            model.slope[at] = gx0 > 0 ? gy0 / gx0 : 0.0;
        }
    }
    // The maximum of the gradient of a curved edge lies inside it by the
    // variance of the smoothing across the edge, the pixel's own included,
    // over twice the radius.
    double weights = 0;
    double moment = 0;
    for (int k = -taps; k <= taps; ++k) {
        weights += g[k < 0 ? -k : k];
        moment += static_cast<double>(k) * k * g[k < 0 ? -k : k];
    }
    model.spread = moment / weights + 1.0 / 12;
    return model;
}

void refine_row(const RefineModel& model, int j, const int* columns, int count, const double* above,
                const double* here, const double* below, const double* gx_row, const double* gy_row, double* sub_x,
                double* sub_y)
{
    for (int k = 0; k < count; ++k) {
        const int i = columns[k];
        const double gx = gx_row[i];
        const double gy = gy_row[i];
        const bool along_row = std::fabs(gx) >= std::fabs(gy);
        const double major = along_row ? gx : gy;
        const double minor = along_row ? gy : gx;
        double vertex = 0;
        const bool fitted = along_row ? gaussian_vertex(here[i - 1], here[i], here[i + 1], &vertex)
                                      : gaussian_vertex(above[i], here[i], below[i], &vertex);
        if (!fitted || major == 0) continue;  // no maximum along the axis: the parabola's point stays
        // The table's steps rise along +x with a slope in [0, 1]; mirroring
        // the axis turns the fit's vertex round, mirroring across it changes nothing.
        const double sign = major > 0 ? 1.0 : -1.0;
        const double seen_vertex = vertex * sign;
        const double seen_slope = std::fabs(minor) / std::fabs(major);
        // The step whose fit and slope are the ones seen: the table is near
        // the identity, so a few corrections by the difference converge.
        double slope = seen_slope;
        double place = seen_vertex;
        for (int step = 0; step < CORRECTIONS; ++step) {
            double model_slope, model_vertex;
            table_at(model, slope, place, &model_slope, &model_vertex);
            slope = std::clamp(slope + (seen_slope - model_slope), 0.0, 1.0);
            place = std::clamp(place + (seen_vertex - model_vertex), -1.0, 1.0);
        }
        // A crossing this far from the pixel is no step's: the pixel is a
        // maximum along the gradient but not along the axis (a corner, a thin
        // line, noise), and the parabola's point is the better guess.
        if (!(std::fabs(place) < FARTHEST_CROSSING)) continue;
        if (along_row) {
            sub_x[k] = i + place * sign;
            sub_y[k] = j;
        } else {
            sub_x[k] = i;
            sub_y[k] = j + place * sign;
        }
    }
}

void refine_curvature(Detector* detector, const RefineModel& model)
{
    // The span of the circle on either side: long enough that the noise of
    // the points weighs little in the curvature, short enough for R of 3.
    constexpr int SPAN = 3;
    // Corners and junctions are no circles: a point whose circle is tighter
    // than this keeps its place across the edge.
    constexpr double TIGHTEST = 0.5;
    EdgelTable* table = &detector->edgels;
    const auto length = [](double x, double y) { return std::sqrt(x * x + y * y); };
    std::vector<uint32_t> records;
    std::vector<SubPixel> placed;  // the chain's points before any moved: no order of moving matters
    for (const EdgeRef ref : detector->edges) {
        const Edge& edge = edge_of(detector, ref);
        const int n = static_cast<int>(edge.point_count);
        if (n < 3) continue;
        const ChainPoint* chain = chain_of(detector->links[ref.part].edge_points, edge);
        records.resize(static_cast<size_t>(n));
        placed.resize(static_cast<size_t>(n));
        for (int q = 0; q < n; ++q) {
            records[q] = edgel_index(table, chain[q].x, chain[q].y);
            placed[q] = table->sub_pixels[records[q]];
        }
        const int span = std::min(SPAN, (n - 1) / 2);
        for (int q = 0; q < n; ++q) {
            const int first = std::clamp(q - span, 0, n - 1 - 2 * span);
            const SubPixel a = placed[first];
            const SubPixel b = placed[first + span];
            const SubPixel c = placed[first + 2 * span];
            const double abx = b.x - a.x, aby = b.y - a.y;
            const double bcx = c.x - b.x, bcy = c.y - b.y;
            const double cax = a.x - c.x, cay = a.y - c.y;
            const double chord = length(cax, cay);
            const double sides = length(abx, aby) * length(bcx, bcy) * chord;
            if (!(sides > 0)) continue;
            const double curvature = 2 * (abx * bcy - aby * bcx) / sides;  // positive: the centre lies to the left
            if (!(std::fabs(curvature) <= TIGHTEST)) continue;
            // The left normal of the chord from a to c; the point moves away from the centre.
            const double left_x = cay / chord;
            const double left_y = -cax / chord;
            const double shift = std::clamp(model.spread * curvature * 0.5, -FARTHEST_SHIFT, FARTHEST_SHIFT);
            table->sub_pixels[records[q]] = SubPixel{placed[q].x - shift * left_x, placed[q].y - shift * left_y};
        }
    }
}
