// The gradient: the numeric examples, and the row-by-row gather compared bit
// for bit with the literal scatter of every source pixel.
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>

#include "helpers.h"
#include "lanes.h"
#include "literal/literal.h"

namespace {

struct Gradient {
    std::vector<double> dx, dy, magnitude;
};

Gradient product_gradient(const TestImage& image, double sigma, int lanes = 0)
{
    Gradient g;
    gradient_images(image, sigma, &g.dx, &g.dy, &g.magnitude, lanes);
    return g;
}

Gradient literal_gradient(const TestImage& image, double sigma)
{
    TestImage copy = image;
    std::vector<unsigned char*> rows = copy.row_pointers();
    literal::XSIZE = image.columns;
    literal::YSIZE = image.rows;
    double *dx, *dy, *magnitude;
    literal::convolve(rows.data(), mask_of(sigma), sigma, &dx, &dy, &magnitude);
    const size_t n = image.pixels.size();
    Gradient g{{dx, dx + n}, {dy, dy + n}, {magnitude, magnitude + n}};
    delete[] dx;
    delete[] dy;
    delete[] magnitude;
    return g;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

double at(const std::vector<double>& image, int columns, int c, int r)
{
    return image[r * columns + c];
}

}  // namespace

TEST(Kernel, TapsForSigmaPointFourAndOne)
{
    GaussianKernel k = gaussian_vectors(3, 0.4, 100);
    ASSERT_EQ(k.half, 2);
    EXPECT_NEAR(k.gauss_taps[0], 0.9973557010, 1e-10);
    EXPECT_NEAR(k.gauss_taps[1], 0.04382075123, 1e-11);
    EXPECT_NEAR(k.deriv_taps[1], -0.2738796952, 1e-10);
    EXPECT_TRUE(std::signbit(k.deriv_taps[0]) && k.deriv_taps[0] == 0) << "D(0) is a negative zero";
    EXPECT_NEAR(k.gauss_taps[0] + 2 * k.gauss_taps[1], 1.0850, 5e-5);

    GaussianKernel one = gaussian_vectors(5, 1.0, 100);
    ASSERT_EQ(one.half, 3);
    EXPECT_NEAR(one.gauss_taps[0] + 2 * (one.gauss_taps[1] + one.gauss_taps[2]), 0.9909, 5e-5);
    for (int t = 1; t < one.half; ++t) EXPECT_LT(one.deriv_taps[t], 0);
}

TEST(Kernel, TapsBeyondTheImageAreNotComputed)
{
    GaussianKernel wide = gaussian_vectors(4001, 500.0, 7);
    EXPECT_EQ(wide.half, 7);
    GaussianKernel full = gaussian_vectors(4001, 500.0, 1 << 20);
    EXPECT_EQ(full.half, 2001);
    for (int t = 0; t < 7; ++t) {
        EXPECT_EQ(wide.gauss_taps[t], full.gauss_taps[t]);
        EXPECT_EQ(wide.deriv_taps[t], full.deriv_taps[t]);
    }
}

TEST(MaskSize, FollowsFourSigmaPlusAHalfMadeOddAndAtLeastThree)
{
    struct Case {
        double sigma;
        int mask;
    };
    for (Case c : {Case{0.4, 3}, Case{0.625, 3}, Case{0.875, 5}, Case{1.0, 5}, Case{1.125, 5}, Case{1.5, 7},
                   Case{2.0, 9}, Case{0.1, 3}, Case{static_cast<double>(0.4f), 3}}) {
        int mask = 0;
        EXPECT_TRUE(mask_for_sigma(c.sigma, &mask));
        EXPECT_EQ(mask, c.mask) << "sigma " << c.sigma;
    }
    int mask = 0;
    for (double refused : {0.0, -1.0, double(NAN), double(INFINITY), 1e30, 6e8})
        EXPECT_FALSE(mask_for_sigma(refused, &mask)) << refused;
    EXPECT_TRUE(mask_for_sigma(5e8, &mask));
    EXPECT_EQ(mask, 2000000001);
}

TEST(Gradient, SingleBrightPixel)
{
    TestImage image = blank_image(5, 5);
    image.at(2, 2) = 255;
    Gradient g = product_gradient(image, 0.4);
    auto dx = [&](int c, int r) { return at(g.dx, 5, c, r); };
    auto dy = [&](int c, int r) { return at(g.dy, 5, c, r); };
    auto mag = [&](int c, int r) { return at(g.magnitude, 5, c, r); };
    const double side = 69.65464623, diagonal = 3.060411568;
    EXPECT_NEAR(dx(1, 2), side, 1e-7);
    EXPECT_NEAR(dx(3, 2), -side, 1e-7);
    EXPECT_NEAR(dx(1, 1), diagonal, 1e-8);
    EXPECT_NEAR(dx(1, 3), diagonal, 1e-8);
    EXPECT_NEAR(dx(3, 1), -diagonal, 1e-8);
    EXPECT_NEAR(dx(3, 3), -diagonal, 1e-8);
    EXPECT_NEAR(dy(2, 1), side, 1e-7);
    EXPECT_NEAR(dy(2, 3), -side, 1e-7);
    EXPECT_NEAR(dy(1, 1), diagonal, 1e-8);
    EXPECT_NEAR(dy(3, 3), -diagonal, 1e-8);
    for (int r = 0; r < 5; ++r) EXPECT_EQ(dx(2, r), 0) << "the bright pixel's own column";
    EXPECT_EQ(mag(2, 2), 0);
    EXPECT_NEAR(mag(2, 1), side, 1e-7);
    EXPECT_NEAR(mag(1, 2), side, 1e-7);
    EXPECT_NEAR(mag(1, 1), 4.328075546, 1e-8);
    EXPECT_NEAR(mag(3, 3), 4.328075546, 1e-8);
    EXPECT_EQ(mag(0, 0), 0);
    EXPECT_EQ(mag(4, 2), 0);
}

TEST(Gradient, StepWithBlackOutside)
{
    TestImage image = blank_image(6, 4);
    for (int r = 0; r < 4; ++r)
        for (int c = 3; c < 6; ++c) image.at(c, r) = 255;
    Gradient g = product_gradient(image, 0.4);
    auto dx = [&](int c, int r) { return at(g.dx, 6, c, r); };
    auto dy = [&](int c, int r) { return at(g.dy, 6, c, r); };
    for (int c : {2, 3}) {
        EXPECT_NEAR(dx(c, 1), 75.7755, 1e-4);
        EXPECT_NEAR(dx(c, 2), 75.7755, 1e-4);
        EXPECT_NEAR(dx(c, 0), 72.7151, 1e-4);
        EXPECT_NEAR(dx(c, 3), 72.7151, 1e-4);
    }
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(dx(0, r), 0);
        EXPECT_EQ(dx(1, r), 0);
        EXPECT_EQ(dx(4, r), 0);
    }
    EXPECT_NEAR(dx(5, 1), -75.7755, 1e-4);
    EXPECT_NEAR(dx(5, 0), -72.7151, 1e-4);
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(dy(c, 1), 0);
        EXPECT_EQ(dy(c, 2), 0);
    }
    const double top[] = {3.0604, 72.7151, 75.7755, 72.7151};
    for (int c = 2; c < 6; ++c) {
        EXPECT_NEAR(dy(c, 0), top[c - 2], 1e-4);
        EXPECT_NEAR(dy(c, 3), -top[c - 2], 1e-4);
    }
}

TEST(Gradient, SingleRowTenTwentyThirty)
{
    TestImage image = blank_image(3, 1);
    image.at(0, 0) = 10;
    image.at(1, 0) = 20;
    image.at(2, 0) = 30;
    Gradient g = product_gradient(image, 0.4);
    EXPECT_NEAR(g.dx[0], 5.4631, 1e-4);
    EXPECT_NEAR(g.dx[1], 5.4631, 1e-4);
    EXPECT_NEAR(g.dx[2], -5.4631, 1e-4);
    for (double v : g.dy) EXPECT_EQ(v, 0);
}

TEST(Gradient, FlatImagesGiveZerosInsideTheBorderFrame)
{
    for (int value : {0, 1, 255}) {
        Gradient one = product_gradient(blank_image(1, 1, static_cast<unsigned char>(value)), 1.0);
        EXPECT_EQ(one.dx[0], 0);
        EXPECT_EQ(one.dy[0], 0);
        EXPECT_EQ(one.magnitude[0], 0);
    }
    Gradient black = product_gradient(blank_image(9, 7), 1.0);
    for (double v : black.magnitude) EXPECT_EQ(v, 0);

    TestImage grey = blank_image(10, 8, 200);
    Gradient g = product_gradient(grey, 0.4);  // mask 3: a frame one pixel wide
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 10; ++c) {
            const bool frame_x = c == 0 || c == 9;
            const bool frame_y = r == 0 || r == 7;
            EXPECT_EQ(at(g.dx, 10, c, r) != 0, frame_x) << c << "," << r;
            EXPECT_EQ(at(g.dy, 10, c, r) != 0, frame_y) << c << "," << r;
        }
    }
}

TEST(Gradient, GatherEqualsTheLiteralScatterBitForBit)
{
    for (int width : {8, 4, 2, 1}) {
        std::mt19937 random(7);
        const double sigmas[] = {0.4, 0.6, 0.875, 1.0, 1.5, 2.0, 3.3};
        const int sizes[][2] = {{1, 1}, {1, 9},   {9, 1},   {2, 3},   {4, 4},
                                {7, 5}, {13, 31}, {40, 17}, {64, 64}, {150, 90}};
        for (const auto& size : sizes) {
            for (double sigma : sigmas) {
                TestImage image = random_image(size[0], size[1], random);
                Gradient fast = product_gradient(image, sigma, width);
                Gradient plain = literal_gradient(image, sigma);
                EXPECT_TRUE(same_bits(fast.dx, plain.dx)) << size[0] << "x" << size[1] << " sigma " << sigma;
                EXPECT_TRUE(same_bits(fast.dy, plain.dy)) << size[0] << "x" << size[1] << " sigma " << sigma;
                EXPECT_TRUE(same_bits(fast.magnitude, plain.magnitude)) << size[0] << "x" << size[1];
            }
        }
        for (const char* name : {"astronaut.pgm", "coffee.pgm"}) {
            TestImage photo = crop(photograph(name), 200, 160, 100, 100);
            for (double sigma : {0.4, 1.0, 2.0}) {
                Gradient fast = product_gradient(photo, sigma, width);
                Gradient plain = literal_gradient(photo, sigma);
                EXPECT_TRUE(same_bits(fast.dx, plain.dx)) << name << " sigma " << sigma;
                EXPECT_TRUE(same_bits(fast.dy, plain.dy)) << name << " sigma " << sigma;
                EXPECT_TRUE(same_bits(fast.magnitude, plain.magnitude)) << name << " sigma " << sigma;
            }
        }
    }
}

TEST(Gradient, MaskWiderThanTheImageStaysInside)
{
    std::mt19937 random(11);
    TestImage image = random_image(6, 4, random);
    Gradient fast = product_gradient(image, 9.0);  // mask 37, far wider than the image
    Gradient plain = literal_gradient(image, 9.0);
    EXPECT_TRUE(same_bits(fast.dx, plain.dx));
    EXPECT_TRUE(same_bits(fast.dy, plain.dy));
    EXPECT_TRUE(same_bits(fast.magnitude, plain.magnitude));
}

TEST(Magnitude, IsTheCLibrarysHypotOnMillionsOfValues)
{
    std::mt19937_64 random(2718);
    std::uniform_real_distribution<double> gradient(-3000.0, 3000.0);
    std::uniform_int_distribution<int> exponent(-1074, 1023);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    auto any_magnitude = [&] { return std::ldexp(mantissa(random), exponent(random)) * (random() & 1 ? 1 : -1); };
    auto raw_bits = [&] {
        const uint64_t b = random();
        double v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    };
    const double special[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              0x1p-1074,
                              0x1p-1022,
                              0x1p-459,
                              0x1.0000000000001p-459,
                              0x1p-460,
                              0x1p+511,
                              0x1.0000000000001p+511,
                              0x1p+512,
                              1e300,
                              1.7976931348623157e308,
                              INFINITY,
                              -INFINITY,
                              NAN,
                              3.0,
                              4.0,
                              0x1p-54,
                              0x1p-53};
    constexpr int block = 1 << 16;
    std::vector<double> x(block), y(block), fast(block), four_lanes(block), two_lanes(block);
    size_t checked = 0, mismatches = 0;
    for (int round = 0; round < 200; ++round) {
        for (int k = 0; k < block; ++k) {
            switch (round % 4) {
                case 0:
                    x[k] = gradient(random), y[k] = gradient(random);
                    break;
                case 1:
                    x[k] = any_magnitude(), y[k] = any_magnitude();
                    break;
                case 2:
                    x[k] = gradient(random),
                    y[k] = x[k] * std::ldexp(mantissa(random), -static_cast<int>(random() % 60));
                    break;
                default:
                    x[k] = raw_bits(), y[k] = k % 3 ? raw_bits() : special[random() % std::size(special)];
                    break;
            }
        }
        gradient_magnitudes(vector_kernels(), x.data(), y.data(), fast.data(), block);  // the widest there are
        gradient_magnitudes(vector_kernels(4), x.data(), y.data(), four_lanes.data(), block);
        ASSERT_EQ(magnitude_lanes<Sse2Lanes>(x.data(), y.data(), two_lanes.data(), nullptr, 0, block), block);
        for (int k = 0; k < block; ++k) {
            const double expected = std::hypot(x[k], y[k]);
            const double scalar = gradient_magnitude(x[k], y[k]);
            const bool same =
                std::isnan(expected)
                    ? std::isnan(scalar) && std::isnan(fast[k]) && std::isnan(four_lanes[k]) && std::isnan(two_lanes[k])
                    : std::memcmp(&expected, &scalar, 8) == 0 && std::memcmp(&expected, &fast[k], 8) == 0 &&
                          std::memcmp(&expected, &four_lanes[k], 8) == 0 &&
                          std::memcmp(&expected, &two_lanes[k], 8) == 0;
            if (!same && ++mismatches < 5) ADD_FAILURE() << std::hexfloat << x[k] << " " << y[k];
            ++checked;
        }
    }
    for (double a : special)
        for (double b : special) {
            const double expected = std::hypot(a, b), scalar = gradient_magnitude(a, b);
            EXPECT_TRUE(std::isnan(expected) ? std::isnan(scalar) : std::memcmp(&expected, &scalar, 8) == 0)
                << a << " " << b;
        }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GE(checked, 13000000u);
}

TEST(Magnitude, OnlyTheCellsAskedForAreComputedTheRestAreZero)
{
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> gradient(-300.0, 300.0);
    constexpr int count = 1003;  // whole vectors of every width, then single cells
    std::vector<double> x(count), y(count), all(count), some(count);
    for (int k = 0; k < count; ++k) x[k] = gradient(random), y[k] = gradient(random);
    for (int width : {1, 2, 4, 8}) {
        const VectorKernels& kernels = vector_kernels(width);
        std::vector<uint64_t> needed((count + 63) / 64, 0);
        for (int k = 0; k < count; ++k)
            if (random() % 23 == 0) needed[k / 64] |= uint64_t{1} << (k % 64);
        gradient_magnitudes(kernels, x.data(), y.data(), all.data(), count);
        gradient_magnitudes(kernels, x.data(), y.data(), some.data(), count, needed.data());
        int computed = 0;
        for (int k = 0; k < count; ++k) {
            const bool asked = (needed[k / 64] >> (k % 64)) & 1;
            if (asked) {
                EXPECT_EQ(some[k], std::hypot(x[k], y[k])) << k;
            }
            EXPECT_TRUE(some[k] == all[k] || some[k] == 0.0) << k;
            computed += some[k] != 0.0;
        }
        EXPECT_LT(computed, count / 2) << "cells far from any asked for stay zero";

        // The cells whose square reaches a bound, in the same bits.
        std::vector<uint64_t> reaching((count + 63) / 64, ~uint64_t{0});
        reaching_cells(kernels, x.data(), y.data(), count, 40000.0, reaching.data());
        for (int k = 0; k < count; ++k)
            EXPECT_EQ((reaching[k / 64] >> (k % 64)) & 1, x[k] * x[k] + y[k] * y[k] >= 40000.0 ? 1u : 0u) << k;
        EXPECT_EQ(reaching.back() >> (count % 64), 0u) << "bits past the cells are clear";
    }
}
