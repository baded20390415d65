// Refined sub-pixel points: on ideal area-sampled edges of known place they
// lie on the edge, and on any image they are the points of -sp moved, never
// others, at any number of threads and any vector width.
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

#include "helpers.h"

namespace {

constexpr double DARK = 64;
constexpr double BRIGHT = 192;
constexpr int MARGIN = 14;  // the image's own frame is an edge too

// The share of a square of side `side` centred on the origin on the side
// n.p <= s of a line with unit normal n: the distribution of n.p over the
// square is the convolution of two uniform ones.
double covered(double s, double nx, double ny, double side)
{
    const double a = std::fabs(nx) * side;
    const double b = std::fabs(ny) * side;
    if (std::min(a, b) < 1e-12) return std::clamp(s / std::max(a, b) + 0.5, 0.0, 1.0);
    const auto ramp = [](double t) { return t > 0 ? 0.5 * t * t : 0.0; };
    return std::clamp(
        (ramp(s + 0.5 * (a + b)) - ramp(s + 0.5 * (a - b)) - ramp(s - 0.5 * (a - b)) + ramp(s - 0.5 * (a + b))) /
            (a * b),
        0.0, 1.0);
}

struct Image {
    int side;
    std::vector<double> levels;
    lintrace::ImageView view() const
    {
        return lintrace::ImageView{levels.data(), side, side, 0, lintrace::SampleType::DOUBLE, 1, 255, nullptr};
    }
};

// A straight step, bright where n.p > c, each pixel grey by its exact coverage.
Image step(int side, double nx, double ny, double c)
{
    Image image{side, std::vector<double>(static_cast<size_t>(side) * side)};
    for (int r = 0; r < side; ++r)
        for (int x = 0; x < side; ++x) {
            const double dark = covered(c - (nx * x + ny * r), nx, ny, 1.0);
            image.levels[static_cast<size_t>(r) * side + x] = DARK * dark + BRIGHT * (1 - dark);
        }
    return image;
}

// A bright disk, each pixel grey by the coverage of its 8 x 8 parts by the
// circle's tangent nearest each part (a part's sagitta is below 1e-4 px).
Image disk(int side, double cx, double cy, double radius)
{
    constexpr int PARTS = 8;
    Image image{side, std::vector<double>(static_cast<size_t>(side) * side)};
    for (int r = 0; r < side; ++r)
        for (int x = 0; x < side; ++x) {
            double inside = 0;
            for (int py = 0; py < PARTS; ++py)
                for (int px = 0; px < PARTS; ++px) {
                    const double ox = x + (px + 0.5) / PARTS - 0.5 - cx;
                    const double oy = r + (py + 0.5) / PARTS - 0.5 - cy;
                    const double d = std::max(std::hypot(ox, oy), 1e-12);
                    inside += covered(radius - d, ox / d, oy / d, 1.0 / PARTS);
                }
            inside /= PARTS * PARTS;
            image.levels[static_cast<size_t>(r) * side + x] = BRIGHT * inside + DARK * (1 - inside);
        }
    return image;
}

lintrace::Settings settings_of(double sigma, bool refine, int threads = 1)
{
    lintrace::Settings settings;
    settings.sigma = sigma;
    settings.low_threshold = 8;
    settings.high_threshold = 16;
    settings.sub_pixel = true;
    settings.threads = threads;
    settings.refine = refine;
    return settings;
}

// The RMS and mean of distance(p) over the points away from the frame.
template <typename Distance>
void errors(const lintrace::Edges& edges, int side, const Distance& distance, double* rms, double* mean, int* count)
{
    double squares = 0;
    double sum = 0;
    *count = 0;
    for (const lintrace::Point& p : edges.points()) {
        if (p.x < MARGIN || p.y < MARGIN || p.x > side - 1 - MARGIN || p.y > side - 1 - MARGIN) continue;
        const double d = distance(p);
        squares += d * d;
        sum += d;
        ++*count;
    }
    *rms = *count > 0 ? std::sqrt(squares / *count) : NAN;
    *mean = *count > 0 ? sum / *count : NAN;
}

TEST(Refine, PointsLieOnAStraightStepAtEveryAngle)
{
    struct Case {
        double sigma;
        double degrees;
        double offset;  // of the edge from the image's centre, along its normal
    };
    const Case cases[] = {{1.0, 0, 0.3},   {1.0, 7, -0.2},  {1.0, 22.5, 0.45}, {1.0, 33, 0.1},
                          {1.0, 45, -0.4}, {2.0, 0, -0.35}, {2.0, 13, 0.25},   {2.0, 29, -0.05},
                          {2.0, 40, 0.4},  {1.5, 18, 0.15}, {1.0, 61, 0.2},    {2.0, 152, -0.3}};
    constexpr int SIDE = 64;
    for (const Case& c : cases) {
        const double angle = c.degrees * M_PI / 180;
        const double nx = std::cos(angle);
        const double ny = std::sin(angle);
        const double at = nx * (SIDE - 1) / 2 + ny * (SIDE - 1) / 2 + c.offset;
        const Image image = step(SIDE, nx, ny, at);
        const auto distance = [&](const lintrace::Point& p) { return nx * p.x + ny * p.y - at; };
        double rms, mean;
        int count;
        errors(lintrace::trace(image.view(), settings_of(c.sigma, true)), SIDE, distance, &rms, &mean, &count);
        const std::string which = testing::PrintToString(std::vector<double>{c.sigma, c.degrees, c.offset});
        ASSERT_GT(count, SIDE / 2) << which;
        EXPECT_LT(rms, 0.001) << which << ": the refined points lie on the step to a thousandth of a pixel";
    }
}

TEST(Refine, PointsLieOnADiskOfKnownRadius)
{
    struct Case {
        double sigma;
        double radius;
        double bias;  // the largest mean distance allowed, and the largest RMS distance
        double rms;
    };
    // The maximum of the gradient lies inside the curve by about
    // sigma^2 / 2R (-0.07 px at R 8 and sigma 1, -0.1 at R 20 and sigma 2),
    // and the fit across the edge errs by up to about (sin^2 / 2R) px along its
    // axis: what is left of both is second order in the curvature.
    const Case cases[] = {{1.0, 5, 0.012, 0.016},  {1.0, 8, 0.004, 0.006},   {1.0, 13, 0.002, 0.003},
                          {1.0, 20, 0.0015, 0.002}, {2.0, 13, 0.003, 0.006},  {2.0, 20, 0.0015, 0.004},
                          {1.0, 35, 0.001, 0.002},  {2.0, 35, 0.001, 0.002}};
    for (const Case& c : cases) {
        const int side = static_cast<int>(2 * c.radius) + 2 * MARGIN + 12;
        const double cx = (side - 1) / 2.0 + 0.31;
        const double cy = (side - 1) / 2.0 - 0.17;
        const Image image = disk(side, cx, cy, c.radius);
        const auto distance = [&](const lintrace::Point& p) { return std::hypot(p.x - cx, p.y - cy) - c.radius; };
        double rms, mean, plain_rms, plain_mean;
        int count, plain_count;
        errors(lintrace::trace(image.view(), settings_of(c.sigma, true)), side, distance, &rms, &mean, &count);
        errors(lintrace::trace(image.view(), settings_of(c.sigma, false)), side, distance, &plain_rms, &plain_mean,
               &plain_count);
        const std::string which = testing::PrintToString(std::vector<double>{c.sigma, c.radius});
        ASSERT_EQ(count, plain_count) << which;
        EXPECT_LT(std::fabs(mean), c.bias) << which << ": the refined radius";
        EXPECT_LT(rms, c.rms) << which << ": -sp alone is off by " << plain_rms;
    }
}

// The points of each edge in order, as text with every digit of a double.
std::string points_text(const lintrace::Edges& edges)
{
    std::string text;
    char line[80];
    for (size_t k = 0; k < edges.size(); ++k) {
        for (const lintrace::Point& p : edges.edge(k)) {
            std::snprintf(line, sizeof line, "%a %a\n", p.x, p.y);
            text += line;
        }
        text += "end\n";
    }
    return text;
}

TEST(Refine, MovesThePointsOfSubPixelPlacementOnly)
{
    std::mt19937 random(22);
    struct Case {
        const char* name;
        TestImage image;
        double sigma;
    };
    const Case cases[] = {{"astronaut", crop(photograph("astronaut.pgm"), 160, 130, 200, 100), 1.0},
                          {"chelsea", crop(photograph("chelsea.pgm"), 150, 140, 40, 20), 2.0},
                          {"random blobs", random_image(120, 90, random), 0.6}};
    for (const Case& c : cases) {
        const lintrace::ImageView view = lintrace::ImageView::grey8(c.image.pixels.data(), c.image.columns,
                                                                    c.image.rows);
        lintrace::Settings settings;
        settings.sigma = c.sigma;
        settings.threads = 1;
        const lintrace::Edges pixels = lintrace::trace(view, settings);
        settings.sub_pixel = true;
        const lintrace::Edges placed = lintrace::trace(view, settings);
        settings.refine = true;
        const lintrace::Edges refined = lintrace::trace(view, settings);
        ASSERT_GT(pixels.point_count(), 100u) << c.name;
        EXPECT_EQ(refined.offsets(), pixels.offsets()) << c.name << ": the same edges of the same points";
        EXPECT_EQ(refined.closed(), pixels.closed()) << c.name;
        EXPECT_EQ(refined.starts_at_junction(), pixels.starts_at_junction()) << c.name;
        EXPECT_EQ(refined.ends_at_junction(), pixels.ends_at_junction()) << c.name;
        size_t moved = 0;
        for (size_t k = 0; k < pixels.point_count(); ++k) {
            const lintrace::Point p = pixels.points()[k];
            const lintrace::Point s = placed.points()[k];
            const lintrace::Point r = refined.points()[k];
            if (s.x == 0 && s.y == 0) {  // a junction where no candidate stood keeps (0, 0)
                EXPECT_TRUE(r.x == 0 && r.y == 0) << c.name << " point " << k;
                continue;
            }
            // Each point stays beside its pixel, in its place in the order: a
            // crossing under a pixel away, moved by the curve at most half a pixel.
            EXPECT_LE(std::fabs(r.x - p.x), 1.5) << c.name << " point " << k;
            EXPECT_LE(std::fabs(r.y - p.y), 1.5) << c.name << " point " << k;
            moved += r.x != s.x || r.y != s.y;
        }
        EXPECT_GT(moved, pixels.point_count() / 2) << c.name << ": the refinement moves most points";
        // The list holds the same lines, the same edge ends among them.
        const std::string list = refined.list_text();
        const std::string plain = placed.list_text();
        EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), std::count(plain.begin(), plain.end(), '\n'));
        size_t at = 0, plain_at = 0;
        while ((at = list.find("-1 -1\n", at)) != std::string::npos) {
            plain_at = plain.find("-1 -1\n", plain_at);
            ASSERT_EQ(std::count(list.begin(), list.begin() + static_cast<long>(at), '\n'),
                      std::count(plain.begin(), plain.begin() + static_cast<long>(plain_at), '\n'))
                << c.name;
            ++at;
            ++plain_at;
        }
    }
}

TEST(Refine, GivesTheSamePointsAtAnyThreadCountAndVectorWidth)
{
    const TestImage image = crop(photograph("astronaut.pgm"), 300, 260, 100, 60);
    const lintrace::ImageView view = lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows);
    for (const double sigma : {1.0, 2.0}) {
        lintrace::Settings settings;
        settings.sigma = sigma;
        settings.sub_pixel = true;
        settings.refine = true;
        settings.threads = 1;
        const lintrace::Edges one = lintrace::trace(view, settings);
        const std::string expected = points_text(one);
        const std::string expected_list = one.list_text();
        struct Case {
            int threads;
            int lanes;
        };
        for (const Case c : {Case{3, 0}, Case{1, 1}, Case{3, 4}, Case{2, 8}}) {
            settings.threads = c.threads;
            const lintrace::Edges other = lintrace::detail::trace(view, settings, small_pieces(c.lanes), nullptr);
            EXPECT_EQ(first_difference(points_text(other), expected), "")
                << "sigma " << sigma << ", " << c.threads << " threads, " << c.lanes << " lanes";
            EXPECT_EQ(other.list_text(), expected_list);
        }
    }
}

TEST(Refine, WithoutSubPixelPositionsIsRefused)
{
    const TestImage image = blank_image(16, 16, 7);
    lintrace::Settings settings;
    settings.refine = true;
    try {
        lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), 16, 16), settings);
        FAIL() << "refine without sub_pixel was traced";
    } catch (const std::invalid_argument& refused) {
        EXPECT_STREQ(refused.what(), "refine moves the sub-pixel positions: it needs sub_pixel");
    }
}

}  // namespace
