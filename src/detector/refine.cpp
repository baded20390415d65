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
// Along the edge: once linking has ordered the points, the circle through a
// point's neighbours on its chain, three points either way, gives the
// curvature. On a circle the crossing found on the table's steps errs by an
// amount first order in the curvature (the gradient's maximum lies inside
// the curve, and the distance to the edge along the fit's axis is no longer
// linear), which depends on the slope and the crossing like the straight
// error; the detector's own taps tell it too, from an ideal area-sampled
// circle at every slope and crossing of a second table, and beyond first
// order the closed form of a blurred disk's maximum adds the rest. Then each
// point's place across the edge is taken from the circle fitted by least
// squares to its corrected neighbours, three either way: their crossings
// tell of the same curve, and the noise of each one's few magnitudes
// averages out.
//
// Every step reads only what suppression computed for the row (the same bits
// at any vector width) or the positions of the first step (read from a copy,
// so the order of the edges cannot matter); the bands of rows and the number
// of threads change nothing.
#include "refine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "chains.h"
#include "edgel.h"

namespace {

// A refined crossing lies less than a pixel from its pixel along the axis
// (a steep step crosses a row up to a pixel from a candidate of it), and
// the curvature moves a point by at most half a pixel: every point stays
// beside its pixel.
constexpr double FARTHEST_CROSSING = 1.0;
constexpr double FARTHEST_SHIFT = 0.5;
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
// The vertex of the parabola through three values one pixel apart, each
// given as its difference to the middle one.
double log_vertex(double before, double after) { return 0.5 * (before - after) / (before + after); }

bool gaussian_vertex(double before, double middle, double after, double* vertex)
{
    if (!(before > 0 && middle > 0 && after > 0)) return false;
    // Logarithms of the ratios to the middle one: two instead of three.
    const double lb = std::log(before / middle);
    const double la = std::log(after / middle);
    const double curvature = lb + la;
    if (!(curvature < 0)) return false;
    *vertex = log_vertex(lb, la);
    return std::fabs(*vertex) < 1;
}

// Where tables of `slopes` rows by `places` columns are read at slope t in
// [0, 1] and place u in [-1, 1]: the first of the four nearest entries and
// the weights between them.
struct TablePlace {
    size_t at;
    double wt;
    double wu;
    int places;
};

TablePlace table_place(int slopes, int places, double t, double u)
{
    const double ft = std::clamp(t, 0.0, 1.0) * (slopes - 1);
    const double fu = (std::clamp(u, -1.0, 1.0) + 1) * 0.5 * (places - 1);
    const int a = std::min(static_cast<int>(ft), slopes - 2);
    const int b = std::min(static_cast<int>(fu), places - 2);
    return TablePlace{static_cast<size_t>(a) * places + b, ft - a, fu - b, places};
}

// A table's entry at a place, interpolated between its four nearest entries.
double blend(const std::vector<double>& table, const TablePlace& p)
{
    const double* row = table.data() + p.at;
    const double* next = row + p.places;
    return (row[0] * (1 - p.wu) + row[1] * p.wu) * (1 - p.wt) + (next[0] * (1 - p.wu) + next[1] * p.wu) * p.wt;
}

// The model's slope and vertex at slope t in [0, 1] and place u in [-1, 1].
void table_at(const RefineModel& model, double t, double u, double* slope, double* vertex)
{
    const TablePlace p = table_place(RefineModel::SLOPES, RefineModel::PLACES, t, u);
    *slope = blend(model.slope, p);
    *vertex = blend(model.vertex, p);
}

// Where the step whose gradient makes the three magnitudes along an axis
// (before, middle, after) and has the components major along it and minor
// across it at the middle pixel crosses the axis, from the middle pixel;
// false where no step does.
bool crossing(const RefineModel& model, double before, double middle, double after, double major, double minor,
              double* crossed)
{
    double vertex = 0;
    if (!gaussian_vertex(before, middle, after, &vertex) || major == 0) return false;  // no maximum along the axis
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
    if (!(std::fabs(place) < FARTHEST_CROSSING)) return false;
    *crossed = place * sign;
    return true;
}

// The model's curve error per unit curvature and per its square at slope t
// in [0, 1] and place u in [-1, 1] (NaN where one of the entries is).
void bend_at(const RefineModel& model, double t, double u, double* first, double* second)
{
    const TablePlace p = table_place(RefineModel::BENDS, RefineModel::BEND_PLACES, t, u);
    *first = blend(model.bend, p);
    *second = blend(model.bend2, p);
}

// I0(z) / I1(z): by the functions themselves where they stay finite, by
// their asymptotic series (four terms; the next is below 1e-7 at z = 20)
// beyond.
double bessel_ratio(double z)
{
    if (z < 20) return std::cyl_bessel_i(0.0, z) / std::cyl_bessel_i(1.0, z);
    const double t = 1 / (8 * z);
    const double i0 = 1 + t * (1 + t * (9.0 / 2 + t * (225.0 / 6)));
    const double i1 = 1 - t * (3 + t * (15.0 / 2 + t * (315.0 / 6)));
    return i0 / i1;
}

// How far inside a disk, blurred by a Gaussian of variance s, its gradient's
// maximum lies when the maximum's circle has curvature k. The blurred disk
// of radius R has the radial gradient exp(-(r^2 + R^2) / 2s) I1(rR / s)
// (R / s), whose maximum r solves r + s / r = R I0(rR / s) / I1(rR / s); the
// right side grows with R, so bisection finds the R of a given r. To first
// order R - r = s / 2r. No disk's maximum lies tighter than r^2 = s: NaN.
double maximum_inside(double s, double k)
{
    if (k == 0) return 0;
    const double r = 1 / k;
    const double wanted = r + s / r;
    const auto seen = [&](double radius) { return radius * bessel_ratio(r * radius / s); };
    double low = r * 1e-9;
    double high = r + 2 * s / r + 1;
    if (!(seen(low) < wanted && seen(high) > wanted)) return std::numeric_limits<double>::quiet_NaN();
    for (int step = 0; step < 48; ++step) {
        const double middle = 0.5 * (low + high);
        (seen(middle) < wanted ? low : high) = middle;
    }
    return 0.5 * (low + high) - r;
}

// Where the fit across a curved edge puts its crossing, against where it
// crosses: the magnitudes fall off as a Gaussian of variance s in the
// distance to the edge, and along the fit's axis that distance is
// a e + b e^2 at e from the crossing (a the normal's part along the axis, b
// the curvature times the square of its part across, over two), not a e as
// on the straight steps the table holds. The three magnitudes at the
// pixel and its neighbours, the pixel `at` from the crossing, have the
// fit's vertex off by about -(b / a)(1 - 3 at^2); the fit of the model's
// own values says by how much exactly.
double fit_offset(double a, double b, double at, double s)
{
    const auto level = [&](double e) {
        const double d = a * e + b * e * e;
        return -d * d / (2 * s);
    };
    const double middle = level(-at);
    const double before = level(-1 - at) - middle;
    const double after = level(1 - at) - middle;
    if (!(before + after < 0)) return 0;
    return log_vertex(before, after) - at;
}

// The place across the edge of the circle (or line) fitted to `count`
// points, taken round the chain by `around` from `first`, at the point
// *point: in the frame of the point and of the chord from the first to the
// last, with s along the chord and d across, the curve A (s^2 + d^2) + B s
// + d + D = 0 holds every circle and line through the point's surroundings
// and is linear in A, B, D, so least squares gives it; the point moves to
// where it crosses d's axis. A place more than SMOOTHEST away is no circle's.
template <typename Around>
void fitted_place(const SubPixel* points, int first, int count, const Around& around, SubPixel* point)
{
    constexpr double SMOOTHEST = 0.25;
    const SubPixel a = points[around(first)];
    const SubPixel c = points[around(first + count - 1)];
    const double chord_squared = (c.x - a.x) * (c.x - a.x) + (c.y - a.y) * (c.y - a.y);
    if (!(chord_squared > 0)) return;
    const double inverse = 1 / std::sqrt(chord_squared);
    const double tx = (c.x - a.x) * inverse;
    const double ty = (c.y - a.y) * inverse;
    // Sums for the normal equations in (A, B, D) of the rows (s^2 + d^2, s, 1) . (A, B, D) = -d.
    double uu = 0, us = 0, u1 = 0, ud = 0, ss = 0, s1 = 0, sd = 0, d1 = 0;
    for (int k = first; k < first + count; ++k) {
        const SubPixel p = points[around(k)];
        const double x = p.x - point->x;
        const double y = p.y - point->y;
        const double s = tx * x + ty * y;
        const double d = tx * y - ty * x;
        const double u = s * s + d * d;
        uu += u * u;
        us += u * s;
        u1 += u;
        ud += u * d;
        ss += s * s;
        s1 += s;
        sd += s * d;
        d1 += d;
    }
    // Cramer's rule for A and D: the matrix is a Gram matrix, positive
    // definite unless the points lie on one line at two places, which a
    // determinant near none of its size tells.
    const double n = count;
    const double minor_ss = ss * n - s1 * s1;
    const double minor_us = us * n - s1 * u1;
    const double minor_u1 = us * s1 - ss * u1;
    const double det = uu * minor_ss - us * minor_us + u1 * minor_u1;
    if (!(det > 1e-9 * uu * ss * n)) return;
    // The right side (r0, r1, r2) = (-ud, -sd, -d1) in the first column, and in the last.
    const double r0 = -ud, r1 = -sd, r2 = -d1;
    const double big_a = (r0 * minor_ss - us * (r1 * n - s1 * r2) + u1 * (r1 * s1 - ss * r2)) / det;
    const double big_d = (uu * (ss * r2 - s1 * r1) - us * (us * r2 - u1 * r1) + r0 * minor_u1) / det;
    // A d^2 + d + D = 0 at s = 0: the root near the point.
    const double discriminant = 1 - 4 * big_a * big_d;
    if (!(discriminant >= 0)) return;
    const double across = -2 * big_d / (1 + std::sqrt(discriminant));
    if (!(std::fabs(across) <= SMOOTHEST)) return;
    point->x += -ty * across;
    point->y += tx * across;
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
    // The magnitudes at pixels (-1, 0), (0, 0), (1, 0), and the gradient at the middle one.
    const auto axis_magnitudes = [&](double m[3], double* gx0, double* gy0) {
        for (int x = -1; x <= 1; ++x) {
            double gx = 0;
            double gy = 0;
            gradient_at(x, &gx, &gy);
            m[x + 1] = std::hypot(gx, gy);
            if (x == 0) {
                *gx0 = gx;
                *gy0 = gy;
            }
        }
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
            axis_magnitudes(m, &gx0, &gy0);
            double vertex = u;
            gaussian_vertex(m[0], m[1], m[2], &vertex);
            const size_t at = static_cast<size_t>(a) * RefineModel::PLACES + b;
            model.vertex[at] = vertex;
            model.slope[at] = gx0 > 0 ? gy0 / gx0 : 0.0;
        }
    }
    // The smoothing across a curved edge, the pixel's own included: the
    // variance of the taps plus that of a pixel's width.
    double weights = 0;
    double moment = 0;
    for (int k = -taps; k <= taps; ++k) {
        weights += g[k < 0 ? -k : k];
        moment += static_cast<double>(k) * k * g[k < 0 ? -k : k];
    }
    model.spread = moment / weights + 1.0 / 12;
    // The same on circles of the radii BEND_RADII, dark inside, each pixel
    // grey by the coverage of its PARTS x PARTS parts by the circle's tangent
    // nearest each (pixels farther than a pixel from the circle are whole),
    // against the step through the same crossing with the same normal: the
    // difference is the curve's, first order in the curvature.
    // Two radii, for the first and the second order in the curvature: a
    // wide circle, and one of half the tightest curvature the refinement
    // takes, the middle of its range.
    constexpr double BEND_RADII[2] = {25, 2 / RefineModel::TIGHTEST};
    constexpr int PARTS = 4;
    model.bend.resize(static_cast<size_t>(RefineModel::BENDS) * RefineModel::BEND_PLACES);
    model.bend2.resize(model.bend.size());
    const auto crossing_found = [&](double* place) {
        double m[3];
        double gx0 = 0;
        double gy0 = 0;
        axis_magnitudes(m, &gx0, &gy0);
        return crossing(model, m[0], m[1], m[2], gx0, gy0, place);
    };
    for (int a = 0; a < RefineModel::BENDS; ++a) {
        const double angle = std::atan(static_cast<double>(a) / (RefineModel::BENDS - 1));
        const double nx = std::cos(angle);
        const double ny = std::sin(angle);
        for (int b = 0; b < RefineModel::BEND_PLACES; ++b) {
            const double u = -1 + 2 * static_cast<double>(b) / (RefineModel::BEND_PLACES - 1);
            for (int y = -half_height; y <= half_height; ++y)
                for (int x = -half_width; x <= half_width; ++x)
                    step[static_cast<size_t>(y + half_height) * width + (x + half_width)] =
                        1 - covered(x, y, nx, ny, nx * u);
            double straight = 0;
            const bool straight_found = crossing_found(&straight);
            double errs[2];
            for (int c = 0; c < 2; ++c) {
                const double radius = BEND_RADII[c];
                const double cx = u - radius * nx;
                const double cy = -radius * ny;
                for (int y = -half_height; y <= half_height; ++y)
                    for (int x = -half_width; x <= half_width; ++x) {
                        const double from_edge = std::hypot(x - cx, y - cy) - radius;
                        double dark = from_edge < 0 ? 1.0 : 0.0;
                        if (std::fabs(from_edge) < 1) {
                            dark = 0;
                            for (int py = 0; py < PARTS; ++py)
                                for (int px = 0; px < PARTS; ++px) {
                                    const double qx = x + (px + 0.5) / PARTS - 0.5;
                                    const double qy = y + (py + 0.5) / PARTS - 0.5;
                                    const double r = std::hypot(qx - cx, qy - cy);
                                    const double tx = (qx - cx) / r;
                                    const double ty = (qy - cy) / r;
                                    // The tangent t.p = t.C + R, in units of a part.
                                    dark += covered(qx * PARTS, qy * PARTS, tx, ty, (tx * cx + ty * cy + radius) * PARTS);
                                }
                            dark /= PARTS * PARTS;
                        }
                        step[static_cast<size_t>(y + half_height) * width + (x + half_width)] = 1 - dark;
                    }
                double curved = 0;
                errs[c] = straight_found && crossing_found(&curved) ? curved - straight
                                                                    : std::numeric_limits<double>::quiet_NaN();
            }
            // err(k) = k c1 + k^2 c2 through both.
            const double k0 = 1 / BEND_RADII[0];
            const double k1 = 1 / BEND_RADII[1];
            const double c2 = (errs[1] / k1 - errs[0] / k0) / (k1 - k0);
            const size_t at = static_cast<size_t>(a) * RefineModel::BEND_PLACES + b;
            model.bend[at] = std::isfinite(c2) ? errs[0] / k0 - c2 * k0 : errs[0] / k0;
            model.bend2[at] = c2;
        }
    }
    model.inside.resize(RefineModel::CURVES);
    for (int c = 0; c < RefineModel::CURVES; ++c)
        model.inside[c] = maximum_inside(model.spread, RefineModel::TIGHTEST * c / (RefineModel::CURVES - 1));
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
        double place = 0;
        const bool crossed = along_row ? crossing(model, here[i - 1], here[i], here[i + 1], major, minor, &place)
                                       : crossing(model, above[i], here[i], below[i], major, minor, &place);
        if (!crossed) continue;  // the parabola's point stays
        if (along_row) {
            sub_x[k] = i + place;
            sub_y[k] = j;
        } else {
            sub_x[k] = i;
            sub_y[k] = j + place;
        }
    }
}

void refine_curvature(Detector* detector, const RefineModel& model)
{
    // The span of the circle on either side: long enough that the noise of
    // the points weighs little in the curvature, short enough for R of 3.
    constexpr int SPAN = 3;
    // Corners and junctions are no circles: a point whose circle is tighter
    // than TIGHTEST keeps its place across the edge.
    constexpr double TIGHTEST = RefineModel::TIGHTEST;
    EdgelTable* table = &detector->edgels;
    const auto length = [](double x, double y) { return std::sqrt(x * x + y * y); };
    std::vector<uint32_t> records;
    std::vector<SubPixel> placed;  // the chain's points before any moved: no order of moving matters
    std::vector<SubPixel> corrected;  // and after the circle's corrections
    std::vector<unsigned char> smooth;  // whether the point lay on a circle
    for (const EdgeRef ref : detector->edges) {
        const Edge& edge = edge_of(detector, ref);
        const int n = static_cast<int>(edge.point_count);
        if (n < 3) continue;
        const ChainPoint* chain = chain_of(detector->links[ref.part].edge_points, edge);
        records.resize(static_cast<size_t>(n));
        placed.resize(static_cast<size_t>(n));
        // The records first, then their points: the loads of the points do
        // not wait on one another.
        for (int q = 0; q < n; ++q) records[q] = edgel_index(table, chain[q].x, chain[q].y);
        for (int q = 0; q < n; ++q) placed[q] = table->sub_pixels[records[q]];
        corrected = placed;
        smooth.assign(static_cast<size_t>(n), 0);
        const int span = std::min(SPAN, (n - 1) / 2);
        // A closed curve whose ends are neighbours goes on round: every
        // point has its circle centred on it. An open one's ends take the
        // circle of the points nearest them.
        const bool round = edge.closed && n > 2 * SPAN && std::abs(chain[0].x - chain[n - 1].x) <= 1 &&
                           std::abs(chain[0].y - chain[n - 1].y) <= 1;
        const auto around = [n](int q) { return q < 0 ? q + n : q >= n ? q - n : q; };
        for (int q = 0; q < n; ++q) {
            const int first = round ? q - span : std::clamp(q - span, 0, n - 1 - 2 * span);
            const SubPixel a = placed[around(first)];
            const SubPixel b = placed[around(first + span)];
            const SubPixel c = placed[around(first + 2 * span)];
            const double abx = b.x - a.x, aby = b.y - a.y;
            const double bcx = c.x - b.x, bcy = c.y - b.y;
            const double cax = a.x - c.x, cay = a.y - c.y;
            const double chord_squared = cax * cax + cay * cay;
            const double chord = std::sqrt(chord_squared);
            const double sides = std::sqrt((abx * abx + aby * aby) * (bcx * bcx + bcy * bcy) * chord_squared);
            if (!(sides > 0)) continue;
            const double curvature = 2 * (abx * bcy - aby * bcx) / sides;  // positive: the centre lies to the left
            if (!(std::fabs(curvature) <= TIGHTEST)) continue;
            // The right normal of the chord from a to c: away from the centre
            // where the curvature is positive.
            const double out_x = -cay / chord;
            const double out_y = cax / chord;
            // The maximum's shift inside the circle, by the table of blurred disks.
            const double at = std::fabs(curvature) * ((RefineModel::CURVES - 1) / TIGHTEST);
            const int below = std::min(static_cast<int>(at), RefineModel::CURVES - 2);
            const double w = at - below;
            const double inside = model.inside[below] * (1 - w) + model.inside[below + 1] * w;
            const double shift = std::isnan(inside) ? 0.0 : std::copysign(inside, curvature);
            double move_x = shift * out_x;
            double move_y = shift * out_y;
            const double first_order = 0.5 * model.spread * curvature;
            // The fit's own error on the curve, along the axis it was made
            // on: the point that stays on its pixel's row was fitted along
            // the row, the one on its column along the column; the
            // parabola's points (on neither) had no fit. Its model needs the
            // circle centred on the point: near a chain's ends it is not.
            const double px = chain[q].x;
            const double py = chain[q].y;
            const bool on_row = placed[q].y == py;
            const bool on_column = placed[q].x == px;
            if ((on_row || on_column) && first == q - span) {
                const bool along_row = on_row && on_column ? std::fabs(out_x) >= std::fabs(out_y) : on_row;
                const double along = along_row ? out_x : out_y;
                const double across = along_row ? out_y : out_x;
                const double from = along_row ? placed[q].x - px : placed[q].y - py;
                // The detector's own error on a circle, first order, in the
                // frame of its table (the normal away from the centre along
                // +x), and beyond first order the blurred disk's.
                const double away = curvature < 0 ? -along : along;
                const double mirror = away < 0 ? -1.0 : 1.0;
                const double slope = std::fabs(across) / std::fabs(along);
                double bent, bent2;
                bend_at(model, slope, from * mirror, &bent, &bent2);
                const double k = std::fabs(curvature);
                if (std::isfinite(bent) && std::isfinite(bent2)) {
                    move_x = 0;
                    move_y = 0;
                    (along_row ? move_x : move_y) -= (bent + bent2 * k) * k * mirror;
                } else if (std::isfinite(bent) && std::isfinite(inside)) {
                    move_x = (shift - first_order) * out_x;
                    move_y = (shift - first_order) * out_y;
                    (along_row ? move_x : move_y) -= bent * k * mirror;
                } else {
                    const double offset = fit_offset(along, 0.5 * curvature * across * across, from, model.spread);
                    (along_row ? move_x : move_y) -= offset;
                }
            }
            // Both moves are first-order models of a circle; where they add
            // up to more than FARTHEST_SHIFT the circle is no model.
            const double moved = length(move_x, move_y);
            if (moved > FARTHEST_SHIFT) {
                move_x *= FARTHEST_SHIFT / moved;
                move_y *= FARTHEST_SHIFT / moved;
            }
            corrected[q] = SubPixel{placed[q].x + move_x, placed[q].y + move_y};
            smooth[q] = 1;
        }
        // Each point's own crossing carries the noise of its few magnitudes;
        // its neighbours' crossings tell of the same circle. The circle
        // fitted to the corrected points of the span either way gives the
        // point's place across the edge, wherever every one of them lay on
        // a circle of its own.
        for (int q = 0; q < n; ++q) {
            SubPixel point = corrected[q];
            const int first = round ? q - span : std::clamp(q - span, 0, n - 1 - 2 * span);
            bool circle = span == SPAN;
            for (int k = first; circle && k <= first + 2 * span; ++k) circle = smooth[around(k)] != 0;
            if (circle) fitted_place(corrected.data(), first, 2 * span + 1, around, &point);
            table->sub_pixels[records[q]] = point;
        }
    }
}
