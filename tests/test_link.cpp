// Linking: walks from strong candidates, the two sides of a walk, junctions
// that stop walks and pass strength on, and the newest-first edge list. Each
// figure is linked by the product and by the literal twin, and the lists must
// agree byte for byte.
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "detector.h"
#include "literal/literal.h"
#include "sweep_order.h"

namespace {

// A figure drawn as text: '.' is empty, 'o' a weak candidate, 'S' a strong one.
// Sub-pixel positions are the pixel position plus (0.25, -0.25).
struct Figure {
    std::vector<std::string> art;
    int columns() const { return static_cast<int>(art[0].size()); }
    int rows() const { return static_cast<int>(art.size()); }
};

// `numbers`: how many numbers the pixel lines take from a table (all by default).
std::string link_product(const Figure& figure, bool sub_pixel, int64_t numbers = -1)
{
    Detector detector;
    detector.XSIZE = figure.columns();
    detector.YSIZE = figure.rows();
    new_edgel_list(&detector.edgels, figure.columns(), figure.rows(), true);
    detector.Record_image.assign(static_cast<size_t>(figure.columns()) * figure.rows(), LABEL_EMPTY);
    for (int y = 0; y < figure.rows(); ++y)
        for (int x = 0; x < figure.columns(); ++x)
            if (figure.art[y][x] != '.') {
                add_edgel(&detector.edgels, x, y, figure.art[y][x] == 'S', x + 0.25, y - 0.25);
                detector.Record_image[cell_of(&detector, x, y)] = candidate_label(figure.art[y][x] == 'S');
            }
    join_edges(&detector);
    std::string text;
    if (numbers < 0)
        format_edges(&detector, sub_pixel, 0, detector.edges.size(), &text);
    else
        format_edges(&detector, sub_pixel, 0, detector.edges.size(), PixelTexts(numbers), &text);
    return text;
}

std::string link_literal(const Figure& figure, bool sub_pixel)
{
    literal::reset();
    literal::XSIZE = figure.columns();
    literal::YSIZE = figure.rows();
    literal::edgels = literal::new_edgel_list();
    std::vector<unsigned short> labels(static_cast<size_t>(figure.columns()) * figure.rows(), 0);
    for (int y = 0; y < figure.rows(); ++y)
        for (int x = 0; x < figure.columns(); ++x)
            if (figure.art[y][x] != '.') {
                literal::add_edgel(literal::edgels, x, y, 0, 0, figure.art[y][x] == 'S', x + 0.25, y - 0.25);
                labels[y * figure.columns() + x] = 128;
            }
    literal::Record_image = labels.data();
    literal::join_edges();
    std::string text = literal::write_list(sub_pixel);
    literal::Record_image = nullptr;
    literal::reset();
    return text;
}

// The product's list, after checking that the literal twin writes the same.
std::string link(const Figure& figure)
{
    const std::string text = link_product(figure, false);
    EXPECT_EQ(text, link_literal(figure, false));
    EXPECT_EQ(link_product(figure, true), link_literal(figure, true));
    return text;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Linking, WithoutAStrongCandidateNothingIsTraced)
{
    EXPECT_EQ(link({{"........", "..oooo..", "........"}}), "");
}

TEST(Linking, AnIsolatedStrongCandidateIsAnEdgeOfOnePoint)
{
    EXPECT_EQ(link({{".....", "..S..", "....."}}), "2.00 1.00\n-1 -1\n");
    EXPECT_EQ(link_product({{".....", "..S..", "....."}}, true), "2.2 0.8\n-1 -1\n");
}

TEST(Linking, AnOpenCurveIsTracedWholeFromOneStrongPoint)
{
    EXPECT_EQ(link({{"........", ".ooSoo..", "........"}}),
              "1.00 1.00\n2.00 1.00\n3.00 1.00\n4.00 1.00\n5.00 1.00\n-1 -1\n")
        << "a horizontal run goes from left to right";
    EXPECT_EQ(link({{"...", ".o.", ".S.", ".o.", "..."}}), "1.00 1.00\n1.00 2.00\n1.00 3.00\n-1 -1\n")
        << "a vertical run goes from top to bottom";
    EXPECT_EQ(link({{"......", ".ooS..", "......"}}), "3.00 1.00\n2.00 1.00\n1.00 1.00\n-1 -1\n")
        << "from its right end a run goes to the left";
    EXPECT_EQ(link({{"......", ".o....", "..o...", "...S..", "......"}}), "3.00 3.00\n2.00 2.00\n1.00 1.00\n-1 -1\n")
        << "a strong end point starts its edge";
}

TEST(Linking, AClosedCurveListsEachPointOnce)
{
    const std::string text = link({{".......", "..ooo..", ".o...o.", ".S...o.", ".o...o.", "..ooo..", "......."}});
    EXPECT_EQ(count(text, "-1 -1\n"), 1u);
    EXPECT_EQ(count(text, "\n"), 13u) << "twelve points and the terminator";
    EXPECT_EQ(count(text, "1.00 3.00\n"), 1u);
}

TEST(Linking, AJunctionStopsWalksAndPassesStrengthToTheOtherArms)
{
    // Three arms meet at (4, 2); the only strong point is on the left arm.
    const std::string text =
        link({{".........", ".........", ".oSoooooo.", "....o....", "....o....", "....o....", "........."}});
    EXPECT_EQ(count(text, "-1 -1\n"), 3u);
    EXPECT_EQ(count(text, "4.00 2.00\n"), 3u) << "the junction bounds each of the three edges";
    EXPECT_EQ(text.substr(text.rfind("-1 -1\n", text.size() - 7) + 6),
              "1.00 2.00\n2.00 2.00\n3.00 2.00\n4.00 2.00\n-1 -1\n")
        << "the first edge traced is written last, ended by the junction";
}

TEST(Linking, AStrongJunctionPixelYieldsNoEdgeButPromotesItsNeighbours)
{
    const std::string text = link({{".......", "...o...", "...o...", ".ooSoo.", "...o...", "...o...", "......."}});
    EXPECT_EQ(count(text, "-1 -1\n"), 4u);
    EXPECT_EQ(count(text, "3.00 3.00\n"), 4u);
}

TEST(Linking, OneWalkCanTakeLaterRecordsOfItsBucket)
{
    // (3, 5), (23, 5) and (43, 5) share bucket 3005; the sweep meets (43, 5) first.
    Figure figure{std::vector<std::string>(8, std::string(50, '.'))};
    for (int x = 2; x <= 30; ++x) figure.art[5][x] = 'o';
    figure.art[5][3] = figure.art[5][23] = figure.art[5][43] = 'S';
    const std::string text = link(figure);
    EXPECT_EQ(text.substr(0, 10), "2.00 5.00\n") << "the run, traced second, comes first";
    EXPECT_EQ(count(text, "-1 -1\n"), 2u);
    EXPECT_EQ(text.substr(text.size() - 17), "43.00 5.00\n-1 -1\n");
}

TEST(Linking, TheEdgeTracedLastIsWrittenFirst)
{
    Figure figure{std::vector<std::string>(12, std::string(12, '.'))};
    figure.art[2][2] = figure.art[9][5] = figure.art[3][9] = 'S';  // buckets 2002, 5009, 9003
    EXPECT_EQ(link(figure), "2.00 2.00\n-1 -1\n5.00 9.00\n-1 -1\n9.00 3.00\n-1 -1\n");
}

TEST(Linking, RandomFiguresLinkLikeTheLiteralTwin)
{
    std::mt19937 random(12345);
    size_t edges = 0;
    for (int round = 0; round < 300; ++round) {
        const int columns = 6 + static_cast<int>(random() % 40);
        const int rows = 6 + static_cast<int>(random() % 40);
        Figure figure{std::vector<std::string>(rows, std::string(columns, '.'))};
        const int density = 2 + static_cast<int>(random() % 5);
        const int strong = 2 + static_cast<int>(random() % 30);
        // Random walks leave one-pixel-wide curves that cross, branch and close.
        for (int w = 0; w < density; ++w) {
            int x = 2 + static_cast<int>(random() % (columns - 4));
            int y = 2 + static_cast<int>(random() % (rows - 4));
            for (int step = 0; step < (columns + rows) * 2; ++step) {
                figure.art[y][x] = random() % strong == 0 ? 'S' : 'o';
                x = std::clamp(x + static_cast<int>(random() % 3) - 1, 2, columns - 3);
                y = std::clamp(y + static_cast<int>(random() % 3) - 1, 2, rows - 3);
            }
        }
        const std::string text = link(figure);
        edges += count(text, "-1 -1\n");
        // Numbers past the table of their texts are formatted on their own.
        EXPECT_EQ(link_product(figure, false, round % 12), text);
        EXPECT_EQ(link_product(figure, true, round % 12), link_product(figure, true));
        if (testing::Test::HasFailure()) {
            for (const std::string& line : figure.art) std::fprintf(stderr, "%s\n", line.c_str());
            break;
        }
    }
    EXPECT_GT(edges, 1000u);
}

TEST(Linking, PixelLineNumbersComeFromTheirTexts)
{
    const PixelTexts numbers(100001);
    const auto text = [&numbers](size_t v) {
        return std::string(numbers.texts[v].data(), static_cast<size_t>(numbers.texts[v][15]));
    };
    EXPECT_EQ(text(0), "0.00");
    EXPECT_EQ(text(9), "9.00");
    EXPECT_EQ(text(10), "10.00");
    EXPECT_EQ(text(100000), "100000.00");
    EXPECT_EQ(PixelTexts(PixelTexts::LIMIT + 5).texts.size(), static_cast<size_t>(PixelTexts::LIMIT));
}

TEST(Linking, TheOpenJunctionMapAgreesWithAPlainMapThroughEveryErase)
{
    // Junction cells whose home slots (the map's multiplicative hash, in a
    // table of 1024 slots) crowd the last and the first few slots, so that
    // runs of entries wrap past the end and erases shift entries back across
    // it; then cells spread at random.
    const auto home = [](int64_t cell) { return (static_cast<uint64_t>(cell) * 0x9E3779B97F4A7C15u) >> 32 & 1023; };
    std::vector<int64_t> crowded;
    for (int64_t cell = 0; crowded.size() < 40; ++cell)
        if (home(cell) >= 1018 || home(cell) <= 3) crowded.push_back(cell);
    std::mt19937 random(5);
    for (int round = 0; round < 20; ++round) {
        PixelMap map;
        std::map<int64_t, uint32_t> plain;
        std::vector<int64_t> cells = crowded;
        if (round % 2) {
            cells.clear();
            for (int k = 0; k < 300; ++k) cells.push_back(static_cast<int64_t>(random() % 100000));
        }
        for (int step = 0; step < 2000; ++step) {
            const int64_t cell = cells[random() % cells.size()];
            if (random() % 3 != 0) {
                const auto value = static_cast<uint32_t>(random());
                pixel_map_insert(&map, cell, value);
                plain[cell] = value;
            } else {
                pixel_map_erase(&map, cell);
                plain.erase(cell);
            }
            ASSERT_EQ(map.count, plain.size()) << "round " << round << " step " << step;
            for (int64_t probe : cells) {
                const auto found = plain.find(probe);
                ASSERT_EQ(pixel_map_find(&map, probe), found == plain.end() ? NO_JUNCTION : found->second)
                    << "round " << round << " step " << step << " cell " << probe;
            }
        }
    }
}

TEST(Linking, SweepKeySortsOrderAsAPlainDescendingSort)
{
    // Keys of candidates: the bucket above the place in the raster. Sets of a
    // few keys, of many over a narrow or a wide stretch of places, with
    // repeated buckets; and keys that come in raster order.
    std::mt19937_64 random(3);
    const auto key_of = [](int64_t x, int64_t y, int64_t columns) {
        return static_cast<uint64_t>((1000 * x + y) % EDGEL_BUCKETS) << BUCKET_SHIFT |
               static_cast<uint64_t>(y * columns + x);
    };
    for (size_t count : {0, 1, 5, 63, 64, 65, 1000, 30000}) {
        for (int64_t columns : {7, 300, 70000}) {
            BulkVector<uint64_t> keys, scratch;
            for (size_t k = 0; k < count; ++k) {
                const int64_t place = static_cast<int64_t>(random() % static_cast<uint64_t>(columns * 50));
                keys.push_back(key_of(place % columns, place / columns, columns));
            }
            BulkVector<uint64_t> expected = keys;
            std::sort(expected.begin(), expected.end(), std::greater<uint64_t>());
            BulkVector<uint64_t> sorted = keys;
            sort_descending(&sorted, &scratch);
            EXPECT_EQ(sorted, expected) << count << " keys, " << columns << " columns";

            std::sort(keys.begin(), keys.end(), [](uint64_t a, uint64_t b) { return (a & PLACE_MASK) < (b & PLACE_MASK); });
            sort_raster_seeds(&keys, &scratch);
            EXPECT_EQ(keys, expected) << count << " keys in raster order, " << columns << " columns";
        }
    }
}
