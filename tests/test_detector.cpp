// The whole detector against its literal twin: the connectivity list, byte
// for byte, on random and real images, at several sigmas and thresholds, in
// both output modes and with any number of threads.
#include <gtest/gtest.h>
#include <algorithm>
#include <thread>

#include "helpers.h"
#include "literal/literal.h"

namespace {

struct Settings {
    double sigma;
    float low;
    float high;
};

// The number of edges the list holds.
size_t expect_same_list(const TestImage& image, const Settings& s, const std::string& what)
{
    size_t blocks = 0;
    for (bool sub_pixel : {false, true}) {
        const std::string plain =
            literal::run(image.pixels, image.columns, image.rows, s.sigma, s.low, s.high, sub_pixel);
        for (int threads : {1, 2, 3}) {
            const std::string fast = detect(image, s.sigma, s.low, s.high, sub_pixel, threads);
            EXPECT_EQ(first_difference(fast, plain), "") << what << " sigma " << s.sigma << " thresholds " << s.low << "/" << s.high
                                   << (sub_pixel ? " sub-pixel" : " pixel") << " threads " << threads;
        }
        if (!sub_pixel)
            for (size_t at = plain.find("-1 -1\n"); at != std::string::npos; at = plain.find("-1 -1\n", at + 1))
                ++blocks;
    }
    return blocks;
}

}  // namespace

TEST(Detector, MatchesTheLiteralTwinOnRandomImages)
{
    std::mt19937 random(2024);
    const Settings settings[] = {{0.4, 1.4f, 2.0f},   {1.0, 1.4f, 2.0f}, {1.0, 3.0f, 6.0f},
                                 {0.875, 0.5f, 8.0f}, {2.0, 1.0f, 4.0f}, {1.5, 5.0f, 5.0f}};
    const int sizes[][2] = {{1, 1},  {3, 3},   {5, 5},   {8, 8},     {12, 7},
                            {7, 12}, {33, 20}, {64, 48}, {100, 100}, {180, 130}};
    size_t blocks = 0;
    for (const auto& size : sizes)
        for (const Settings& s : settings)
            blocks += expect_same_list(random_image(size[0], size[1], random), s, "random");
    EXPECT_GT(blocks, 1000u) << "the images must give the lists something to compare";
}

TEST(Detector, EveryVectorWidthGivesTheSameList)
{
    std::mt19937 random(77);
    for (const TestImage& image :
         {crop(photograph("camera.pgm"), 320, 240, 100, 100), random_image(150, 100, random)}) {
        for (bool sub_pixel : {false, true}) {
            const std::string narrow = detect(image, 1.0, 1.4f, 2.0f, sub_pixel, 2, 1);
            for (int width : {2, 4, 8}) {
                EXPECT_EQ(detect(image, 1.0, 1.4f, 2.0f, sub_pixel, 2, width), narrow) << width << " lanes";
            }
            EXPECT_EQ(literal::run(image.pixels, image.columns, image.rows, 1.0, 1.4f, 2.0f, sub_pixel), narrow);
        }
    }
}

TEST(Detector, MatchesTheLiteralTwinOnPhotographs)
{
    EXPECT_GT(expect_same_list(photograph("astronaut.pgm"), {1.0, 1.4f, 2.0f}, "astronaut"), 1000u);
    expect_same_list(photograph("chelsea.pgm"), {0.4, 1.4f, 2.0f}, "chelsea");
    expect_same_list(photograph("coffee.pgm"), {2.0, 3.0f, 6.0f}, "coffee");
    expect_same_list(crop(photograph("camera.pgm"), 300, 200, 50, 100), {1.5, 1.0f, 3.0f}, "camera");
}

TEST(Detector, NoThresholdReachedGivesAnEmptyList)
{
    EXPECT_EQ(detect(blank_image(50, 50, 90), 1.0, 1.4f, 2.0f, false), "");
    std::mt19937 random(5);
    EXPECT_EQ(detect(random_image(60, 60, random), 1.0, 1e9f, 1e9f, false), "");
}

TEST(Detector, ASpiralOfTwoMillionPointsIsOneEdge)
{
    // A square spiral of one-pixel-wide arms two pixels apart, strong only at
    // its outer end: one walk follows it to the centre. The walk runs on a
    // thread of an ordinary stack, which a recursion this deep (a frame per
    // point) would overflow many times over.
    std::vector<std::pair<int32_t, int32_t>> path{{1500, 1500}};
    const int dx[] = {1, 0, -1, 0}, dy[] = {0, 1, 0, -1};
    for (int length = 2, turn = 0; path.size() < 2'000'000; ++turn) {
        if (turn > 0 && turn % 2 == 0) length += 2;
        for (int step = 0; step < length && path.size() < 2'000'000; ++step)
            path.emplace_back(path.back().first + dx[turn % 4], path.back().second + dy[turn % 4]);
    }
    std::vector<std::pair<int32_t, int32_t>> raster = path;
    std::sort(raster.begin(), raster.end(),
              [](auto a, auto b) { return a.second != b.second ? a.second < b.second : a.first < b.first; });

    Detector detector;
    detector.XSIZE = detector.YSIZE = 3000;
    new_edgel_list(&detector.edgels, 3000, 3000, true);
    detector.Record_image.assign(3000u * 3000u, LABEL_EMPTY);
    for (auto [x, y] : raster) {
        const bool strong = path.back() == std::pair{x, y};
        add_edgel(&detector.edgels, x, y, strong, x + 0.25, y);
        detector.Record_image[cell_of(&detector, x, y)] = candidate_label(strong);
    }
    std::string text;
    std::thread linking([&] {
        release_edgel_records(&detector.edgels);
        join_edges(&detector, 2);
        format_edges(&detector, true, 0, detector.edges.size(), &text);
    });
    linking.join();
    ASSERT_EQ(detector.edges.size(), 1u);
    EXPECT_EQ(edge_of(&detector, detector.edges[0]).point_count, 2'000'000u);
    std::string expected;
    expected.reserve(text.size());
    char line[64];
    for (auto point = path.rbegin(); point != path.rend(); ++point) {
        std::snprintf(line, sizeof line, "%.1f %.1f\n", point->first + 0.25, static_cast<double>(point->second));
        expected += line;
    }
    expected += "-1 -1\n";
    EXPECT_EQ(first_difference(text, expected), "") << "the list runs from the outer end to the centre";
}

TEST(ListFormat, OneDecimalIsPrintfsOnAnyValue)
{
    std::mt19937_64 random(31);
    std::uniform_real_distribution<double> position(0.0, 70000.0);
    std::vector<double> values = {0.0,    -0.0,   0.05,           0.25,  0.35,  1.0,      1.05,
                                  1.25,   1.75,   2.45,           12.25, 12.75, 99.95,    1e-300,
                                  3.0e12, 0x1p40, 0x1p40 - 0.125, 1e300, -3.25, INFINITY, NAN};
    for (int k = 0; k < 2000000; ++k) values.push_back(position(random));
    for (int k = 0; k < 100000; ++k) values.push_back(static_cast<double>(random() % 100000) / 4);  // exact ties
    char expected[512], formatted[512];
    for (double v : values) {
        std::snprintf(expected, sizeof expected, "%.1f", v);
        *format_one_decimal(v, formatted, formatted + sizeof formatted - 1) = '\0';
        ASSERT_STREQ(formatted, expected) << std::hexfloat << v;
    }
}
