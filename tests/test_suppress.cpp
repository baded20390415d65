// Non-maximum suppression and sub-pixel placement: the thresholds, the
// direction cases, the border margin, the parabola, and the candidates of
// whole images compared bit for bit with the literal scan.
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "helpers.h"
#include "literal/literal.h"

namespace {

// Three magnitude rows and the derivative row of the middle one, filled with
// a background value, for one call of suppress_row.
struct Rows {
    int columns;
    std::vector<double> above, here, below, gx, gy;
    explicit Rows(int n, double background = 0.5)
        : columns(n), above(n, background), here(n, background), below(n, background), gx(n, 1.0), gy(n, 0.0)
    {
    }
    CandidateRows suppress(double low, double high, int half = 2, int lanes = 0)
    {
        SuppressionSettings settings{&vector_kernels(lanes), columns, 64, half, low, high, true};
        CandidateRows out;
        suppress_row(settings, 10, above.data(), here.data(), below.data(), gx.data(), gy.data(), &out);
        return out;
    }
};

std::vector<int> columns_of(const CandidateRows& found)
{
    std::vector<int> columns;
    for (const Edgel& e : found.records) columns.push_back(e.x);
    return columns;
}

bool has(const CandidateRows& found, int column)
{
    const std::vector<int> columns = columns_of(found);
    return std::find(columns.begin(), columns.end(), column) != columns.end();
}

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

TEST(Localize, VertexOfTheParabola)
{
    double sub_x, sub_y;
    localize(10, 6, 8, 0, 5, 7, 10, 0, &sub_x, &sub_y);
    EXPECT_NEAR(sub_x, 5 - 1.0 / 6, 1e-15);
    EXPECT_EQ(sub_y, 7) << "with gy = 0 the row stays exact";

    localize(10, 6, 6, 0.3, 5, 7, 10, 3, &sub_x, &sub_y);
    EXPECT_EQ(sub_x, 5);
    EXPECT_EQ(sub_y, 7) << "a symmetric profile gives the pixel itself";

    double again_x, again_y;
    localize(10, 6, 8, 0.3, 5, 7, -10, -3, &again_x, &again_y);
    localize(10, 6, 8, 0.3, 5, 7, 10, 3, &sub_x, &sub_y);
    EXPECT_EQ(bits(again_x), bits(sub_x)) << "negating the gradient changes nothing";
    EXPECT_EQ(bits(again_y), bits(sub_y));
}

TEST(Localize, AZeroXDerivativeMovesAlongTheRowsDownward)
{
    double down_x, down_y, up_x, up_y;
    localize(10, 6, 8, 0, 5, 7, 0, 10, &down_x, &down_y);
    localize(10, 6, 8, 0, 5, 7, 0, -10, &up_x, &up_y);
    EXPECT_EQ(down_x, 5);
    EXPECT_EQ(up_x, 5);
    EXPECT_NEAR(down_y, 7 - 1.0 / 6, 1e-15) << "backward is the row above, forward the row below";
    EXPECT_EQ(bits(up_y), bits(down_y)) << "the sign of gy does not mirror the vertex";
}

TEST(Localize, AFlatOrConvexProfileGivesThePixel)
{
    double sub_x, sub_y;
    localize(5, 5, 5, 0.5, 9, 4, 2, 1, &sub_x, &sub_y);
    EXPECT_EQ(sub_x, 9);
    EXPECT_EQ(sub_y, 4);
    localize(5, 6, 7, 0.5, 9, 4, 2, 1, &sub_x, &sub_y);
    EXPECT_EQ(sub_x, 9);
    EXPECT_EQ(sub_y, 4);
}

TEST(Localize, MatchesTheLiteralFormulaBitForBit)
{
    std::mt19937 random(17);
    std::uniform_real_distribution<double> value(-50, 50);
    for (int k = 0; k < 200000; ++k) {
        const double gx = k % 7 == 0 ? 0.0 : value(random);
        const double gy = value(random);
        const double m = std::hypot(gx, gy) + 1;
        const double forward = std::fabs(value(random)) / 50 * m;
        const double backward = std::fabs(value(random)) / 50 * m;
        const double slope = gx == 0 ? 0 : gy / gx;
        double a_x, a_y, b_x, b_y;
        localize(m, forward, backward, slope, 100, 200, gx, gy, &a_x, &a_y);
        literal::localize(m, forward, backward, slope, 100, 200, gx, gy, &b_x, &b_y);
        ASSERT_EQ(bits(a_x), bits(b_x)) << k;
        ASSERT_EQ(bits(a_y), bits(b_y)) << k;
    }
}

// Rising magnitudes in which every fourth pixel has a backward neighbour equal
// to it and a forward one a unit in the last place below: the sum in the
// parabola's denominator rounds the curvature to 0 there, but the parabola
// through those three values has its vertex exactly half-way to the backward
// neighbour, so each such candidate lies half a pixel back along its
// gradient. Run at every vector width and through the literal twin.
TEST(Localize, ARoundedAwayCurvatureStillPlacesTheVertexHalfWayBack)
{
    struct Case {
        const char* name;
        bool along_rows;  // the gradient along the row (gx = m) or down the columns (gx = 0)
    };
    const Case cases[] = {{"gradient along the row", true}, {"gradient down the column", false}};
    for (const Case& c : cases) {
        for (int width : {2, 4, 8}) {
            constexpr int GROUPS = 23;  // whole vectors and a remainder for the scalar form
            Rows rows(4 * GROUPS + 8, 0.25);
            std::vector<int> centres;
            for (int k = 0; k < GROUPS; ++k) {
                const int i = 4 + 4 * k;
                // The ramp's steps are short binary fractions, whose last bit is 0:
                // m + (m - ulp) is then a tie that rounds to 2m.
                const double m = 1 + 0.125 * k;
                const double below_m = std::nextafter(m, 0.0);
                ASSERT_EQ((below_m + m) - 2 * m, 0.0) << "the case the sum rounds away, at " << m;
                rows.here[i] = m;
                if (c.along_rows) {
                    rows.here[i - 1] = m;
                    rows.here[i + 1] = below_m;
                    rows.gx[i] = m;
                    rows.gy[i] = 0;
                } else {
                    rows.above[i] = m;
                    rows.below[i] = below_m;
                    rows.gx[i] = 0;
                    rows.gy[i] = m;
                }
                centres.push_back(i);
            }
            const CandidateRows found = rows.suppress(0.5, 9.0, 2, width);
            ASSERT_EQ(columns_of(found), centres) << c.name << ", width " << width;
            for (size_t k = 0; k < centres.size(); ++k) {
                const int i = centres[k];
                // (b - f) / (2 ((f - m) + (b - m))) = ulp / (2 (-ulp)): the vertex at -d / 2, d = 1.
                const double want_x = c.along_rows ? i - 0.5 : i;
                const double want_y = c.along_rows ? 10 : 10 - 0.5;
                EXPECT_EQ(found.sub_pixels[k].x, want_x) << c.name << ", width " << width << ", column " << i;
                EXPECT_EQ(found.sub_pixels[k].y, want_y) << c.name << ", width " << width << ", column " << i;
                double literal_x, literal_y;
                literal::localize(rows.here[i], c.along_rows ? rows.here[i + 1] : rows.below[i],
                                  c.along_rows ? rows.here[i - 1] : rows.above[i], 0, i, 10, rows.gx[i], rows.gy[i],
                                  &literal_x, &literal_y);
                EXPECT_EQ(bits(literal_x), bits(want_x)) << c.name << ", column " << i;
                EXPECT_EQ(bits(literal_y), bits(want_y)) << c.name << ", column " << i;
            }
        }
    }
}

TEST(Suppression, ThresholdsCountEqualValues)
{
    Rows rows(20);
    rows.here[10] = 2.0;
    rows.gx[10] = 2.0;
    EXPECT_EQ(columns_of(rows.suppress(2.0, 9.0)), std::vector<int>{10});
    EXPECT_TRUE(rows.suppress(std::nextafter(2.0, 3.0), 9.0).records.empty());
    EXPECT_EQ(rows.suppress(1.0, 2.0).high, std::vector<uint8_t>{1});
    EXPECT_EQ(rows.suppress(1.0, std::nextafter(2.0, 3.0)).high, std::vector<uint8_t>{0});
    EXPECT_EQ(rows.suppress(static_cast<double>(1.4f), 2.0).records.size(), 1u);
}

TEST(Suppression, OfAFlatRidgeOnlyTheForwardSideSurvives)
{
    Rows rows(20);
    rows.here[10] = rows.here[11] = 5;
    EXPECT_EQ(columns_of(rows.suppress(1.0, 2.0)), std::vector<int>{11});
    for (double& g : rows.gx) g = -g;  // the direction (1, slope) is the same
    EXPECT_EQ(columns_of(rows.suppress(1.0, 2.0)), std::vector<int>{11});
}

TEST(Suppression, DirectionCasesPickTheirNeighbours)
{
    // Slope exactly 1: forward is the lower-right, backward the upper-left neighbour.
    Rows diagonal(20);
    diagonal.here[10] = 5;
    diagonal.gx[10] = 3;
    diagonal.gy[10] = 3;
    diagonal.here[9] = diagonal.here[11] = 9;  // along the row: irrelevant
    EXPECT_TRUE(has(diagonal.suppress(1.0, 2.0), 10));
    diagonal.below[11] = 5;
    EXPECT_FALSE(has(diagonal.suppress(1.0, 2.0), 10)) << "forward equal is not a maximum";
    diagonal.below[11] = 0.5;
    diagonal.above[9] = 5;
    EXPECT_TRUE(has(diagonal.suppress(1.0, 2.0), 10)) << "backward equal still is";

    // gx zero: the rows above and below, whatever the row holds.
    Rows vertical(20);
    vertical.here[10] = 5;
    vertical.gx[10] = 0;
    vertical.gy[10] = -4;
    vertical.here[9] = vertical.here[11] = 9;
    EXPECT_TRUE(has(vertical.suppress(1.0, 2.0), 10));
    vertical.below[10] = 6;
    EXPECT_FALSE(has(vertical.suppress(1.0, 2.0), 10));
    vertical.below[10] = 0.5;
    vertical.above[10] = 5;  // backward equal to m: the vertex moves half-way up
    const CandidateRows found = vertical.suppress(1.0, 2.0);
    const std::vector<int> columns = columns_of(found);
    const size_t at = static_cast<size_t>(std::find(columns.begin(), columns.end(), 10) - columns.begin());
    ASSERT_LT(at, columns.size());
    EXPECT_EQ(found.sub_pixels[at].x, 10.0);
    EXPECT_LT(found.sub_pixels[at].y, 10.0);
}

TEST(Suppression, TheMarginKeepsHalfAMaskFromEveryBorder)
{
    Rows rows(128);
    for (int column : {2, 6, 123, 126}) rows.here[column] = 7;
    EXPECT_EQ(columns_of(rows.suppress(1.0, 2.0)), (std::vector<int>{6, 123}));
    Rows inner(128);
    for (int column : {3, 125}) inner.here[column] = 7;
    EXPECT_EQ(columns_of(inner.suppress(1.0, 2.0)), (std::vector<int>{3, 125}));
    EXPECT_TRUE(inner.suppress(1.0, 2.0, 3).records.empty()) << "a mask of 5 keeps columns 4 to 124";

    // A vertical step crossing the whole image: candidates lie on rows 3 to 125.
    TestImage stripes = blank_image(128, 128);
    for (int r = 0; r < 128; ++r)
        for (int c = 60; c < 128; ++c) stripes.at(c, r) = 200;
    std::vector<unsigned char*> rows_of = stripes.row_pointers();
    Detector detector;
    detector.XSIZE = detector.YSIZE = 128;
    local_extrema(&detector, GreyRows{rows_of.data(), nullptr}, 3, 0.4, 1.4, 2.0, false, 1);
    int min_y = 128, max_y = 0;
    for (const Edgel& e : detector.edgels.records) {
        EXPECT_TRUE(e.x >= 3 && e.x <= 125);
        min_y = std::min(min_y, e.y);
        max_y = std::max(max_y, e.y);
        EXPECT_EQ(detector.Record_image[cell_of(&detector, e.x, e.y)] & LABEL_KIND, LABEL_CANDIDATE);
    }
    EXPECT_EQ(min_y, 3);
    EXPECT_EQ(max_y, 125);
    size_t labelled = 0;
    for (uint8_t label : detector.Record_image) labelled += label != LABEL_EMPTY;
    EXPECT_EQ(labelled, detector.edgels.records.size());

    // Found in bands on three threads, without a list of records, the words
    // and labels are the same, and the table knows its last position.
    Detector banded;
    banded.XSIZE = banded.YSIZE = 128;
    banded.keep_edgel_records = false;
    local_extrema(&banded, GreyRows{rows_of.data(), nullptr}, 3, 0.4, 1.4, 2.0, false, 3, small_pieces());
    EXPECT_TRUE(banded.edgels.records.empty());
    EXPECT_EQ(banded.edgels.records_total, detector.edgels.records.size());
    EXPECT_EQ(banded.Record_image, detector.Record_image);
    for (size_t k = 0; k < detector.edgels.records.size(); ++k) {
        const Edgel& e = detector.edgels.records[k];
        EXPECT_EQ(edgel_index(&banded.edgels, e.x, e.y), k);
    }
    const Edgel& last = detector.edgels.records.back();
    EXPECT_EQ(banded.edgels.last_position, int64_t{last.y} * 128 + last.x);
    EXPECT_EQ(detector.edgels.last_position, banded.edgels.last_position);
}

TEST(Suppression, CandidatesMatchTheLiteralScanBitForBit)
{
    std::mt19937 random(41);
    for (int round = 0; round < 48; ++round) {
        const int columns = 1 + static_cast<int>(random() % 160);
        const int rows = 1 + static_cast<int>(random() % 120);
        const double sigma = std::vector<double>{0.4, 0.7, 1.0, 1.6, 2.4}[round % 5];
        const TestImage image = round % 6 == 5 ? crop(photograph("chelsea.pgm"), columns, rows, 150, 80)
                                               : random_image(columns, rows, random);
        double low = round % 2 ? 1.4 : 4.0;
        const float high = round % 3 ? 2.0f : 8.0f;

        TestImage copy = image;
        std::vector<unsigned char*> rows_of = copy.row_pointers();
        literal::reset();
        literal::XSIZE = columns;
        literal::YSIZE = rows;
        double *dx, *dy, *magnitude;
        literal::convolve(rows_of.data(), mask_of(sigma), sigma, &dx, &dy, &magnitude);
        if (round % 4 == 3) {
            // The low threshold at exactly the largest magnitude, or at a
            // pixel's: the pixel reaches it by a hair, so the magnitudes
            // computed must include its own and its neighbours'.
            const int half = (mask_of(sigma) + 1) / 2;
            std::vector<double> inner;
            for (int y = half + 1; y < rows - half; ++y)
                for (int x = half + 1; x < columns - half; ++x) inner.push_back(magnitude[y * columns + x]);
            if (!inner.empty()) {
                const double m =
                    round % 8 == 3 ? *std::max_element(inner.begin(), inner.end()) : inner[random() % inner.size()];
                if (m > 0) low = m;
            }
        }

        Detector detector;
        detector.XSIZE = columns;
        detector.YSIZE = rows;
        local_extrema(&detector, GreyRows{rows_of.data(), nullptr}, mask_of(sigma), sigma, low, high, true,
                      1 + round % 3, small_pieces());

        literal::local_extrema(mask_of(sigma), dx, dy, magnitude, low, high);
        std::vector<literal::Edgel*> plain;
        for (int k = 0; k < 20000; ++k)
            for (literal::Edgel* e = literal::edgels[k]; e != nullptr; e = e->next) plain.push_back(e);
        std::sort(plain.begin(), plain.end(),
                  [](auto* a, auto* b) { return a->y != b->y ? a->y < b->y : a->x < b->x; });

        const EdgelTable& table = detector.edgels;
        ASSERT_EQ(table.records.size(), plain.size()) << columns << "x" << rows << " sigma " << sigma;
        for (size_t k = 0; k < plain.size(); ++k) {
            EXPECT_EQ(table.records[k].x, plain[k]->x);
            EXPECT_EQ(table.records[k].y, plain[k]->y);
            EXPECT_EQ(edgel_is_high(&table, static_cast<uint32_t>(k)), plain[k]->high != 0);
            EXPECT_EQ(detector.Record_image[cell_of(&detector, table.records[k].x, table.records[k].y)],
                      candidate_label(plain[k]->high != 0));
            EXPECT_EQ(bits(table.sub_pixels[k].x), bits(plain[k]->sub_x));
            EXPECT_EQ(bits(table.sub_pixels[k].y), bits(plain[k]->sub_y));
        }
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < columns; ++x)
                ASSERT_EQ(detector.Record_image[cell_of(&detector, x, y)] & LABEL_KIND, literal::Record_image[y * columns + x]);
        delete[] dx;
        delete[] dy;
        delete[] magnitude;
        literal::reset();
    }
}
