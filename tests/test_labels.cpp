// The neighbour query: which edge-point neighbours a pixel lists, in which
// order, and how side neighbours hide the diagonals beside them.
#include <gtest/gtest.h>
#include <random>
#include <utility>

#include "detector.h"
#include "literal/literal.h"

namespace {

struct Labels {
    Detector detector;
    Labels(int columns, int rows)
    {
        detector.XSIZE = columns;
        detector.YSIZE = rows;
        detector.Record_image.assign(static_cast<size_t>(columns) * rows, LABEL_EMPTY);
    }
    void set(int x, int y, uint8_t label) { detector.Record_image[cell_of(&detector, x, y)] = label; }
    std::vector<int> codes(int x, int y, int mask)
    {
        signed char found[DIRECTIONS];
        const int n = num_neighbors(&detector, x, y, mask, found);
        return std::vector<int>(found, found + n);
    }
};

}  // namespace

TEST(Neighbours, ShapesListTheirCodesInOrder)
{
    Labels isolated(7, 7);
    isolated.set(3, 3, LABEL_CANDIDATE);
    for (int mask : {MASK_EDGE_POINT, MASK_CANDIDATE_OR_CHAIN, MASK_CANDIDATE_OR_JUNCTION, MASK_CANDIDATE})
        EXPECT_TRUE(isolated.codes(3, 3, mask).empty());

    Labels corner(7, 7);  // (x, y), (x+1, y), (x+1, y+1)
    corner.set(2, 2, LABEL_CANDIDATE);
    corner.set(3, 2, LABEL_CANDIDATE);
    corner.set(3, 3, LABEL_CANDIDATE);
    EXPECT_EQ(corner.codes(2, 2, MASK_EDGE_POINT), std::vector<int>{7}) << "the diagonal is hidden by (x+1, y)";
    EXPECT_EQ(corner.codes(3, 2, MASK_EDGE_POINT), (std::vector<int>{1, 3}));

    Labels diagonal(7, 7);
    for (int k = 2; k <= 4; ++k) diagonal.set(k, k, LABEL_CANDIDATE);
    EXPECT_EQ(diagonal.codes(3, 3, MASK_EDGE_POINT), (std::vector<int>{2, 4}));

    Labels block(7, 7);
    for (int y = 2; y <= 3; ++y)
        for (int x = 2; x <= 3; ++x) block.set(x, y, LABEL_CANDIDATE);
    for (int y = 2; y <= 3; ++y)
        for (int x = 2; x <= 3; ++x) EXPECT_EQ(block.codes(x, y, MASK_EDGE_POINT).size(), 2u);

    Labels plus(7, 7);
    for (auto [x, y] : {std::pair{3, 3}, {3, 4}, {4, 3}, {3, 2}, {2, 3}}) plus.set(x, y, LABEL_CANDIDATE);
    EXPECT_EQ(plus.codes(3, 3, MASK_EDGE_POINT), (std::vector<int>{1, 7, 5, 3}));
}

TEST(Neighbours, AnyEdgePointHidesTheDiagonalsBesideIt)
{
    Labels labels(7, 7);
    labels.set(3, 3, LABEL_CANDIDATE);
    labels.set(4, 3, LABEL_CHAIN);
    labels.set(4, 2, LABEL_CANDIDATE);
    labels.set(4, 4, LABEL_CANDIDATE);
    EXPECT_TRUE(labels.codes(3, 3, MASK_CANDIDATE).empty());
    EXPECT_EQ(labels.codes(3, 3, MASK_EDGE_POINT), std::vector<int>{7});
    EXPECT_EQ(labels.codes(3, 3, MASK_CANDIDATE_OR_CHAIN), std::vector<int>{7});
    EXPECT_TRUE(labels.codes(3, 3, MASK_CANDIDATE_OR_JUNCTION).empty());

    Labels all_diagonals(7, 7);
    for (auto [x, y] : {std::pair{3, 3}, {2, 2}, {4, 2}, {2, 4}, {4, 4}}) all_diagonals.set(x, y, LABEL_JUNCTION);
    EXPECT_EQ(all_diagonals.codes(3, 3, MASK_EDGE_POINT), (std::vector<int>{2, 0, 6, 4}));
}

TEST(Neighbours, NewPositionsFollowTheDirectionTables)
{
    const signed char codes[] = {4, 7, 0};
    EXPECT_EQ(newx(10, 0, codes), 9);
    EXPECT_EQ(newy(20, 0, codes), 19);
    EXPECT_EQ(newx(10, 1, codes), 11);
    EXPECT_EQ(newy(20, 1, codes), 20);
    EXPECT_EQ(newx(10, 2, codes), 9);
    EXPECT_EQ(newy(20, 2, codes), 21);
}

TEST(Neighbours, MatchTheLiteralQueryAndAreSymmetric)
{
    std::mt19937 random(3);
    const uint8_t labels[] = {LABEL_EMPTY, LABEL_EMPTY, LABEL_EMPTY, LABEL_CANDIDATE, LABEL_CHAIN, LABEL_JUNCTION};
    const int masks[] = {MASK_EDGE_POINT, MASK_CANDIDATE_OR_CHAIN, MASK_CANDIDATE_OR_JUNCTION, MASK_CANDIDATE};
    Labels grid(40, 30);
    std::vector<unsigned short> plain(40 * 30);
    for (size_t k = 0; k < plain.size(); ++k) {
        grid.detector.Record_image[k] = labels[random() % 6];
        plain[k] = grid.detector.Record_image[k];
    }
    literal::XSIZE = 40;
    literal::YSIZE = 30;
    literal::Record_image = plain.data();
    for (int y = 1; y < 29; ++y) {
        for (int x = 1; x < 39; ++x) {
            for (int mask : masks) {
                signed char expected[8];
                const int n = literal::num_neighbors(x, y, mask, expected);
                EXPECT_EQ(grid.codes(x, y, mask), std::vector<int>(expected, expected + n));
            }
            if (x < 2 || y < 2 || x > 37 || y > 27 || grid.detector.Record_image[cell_of(&grid.detector, x, y)] == 0)
                continue;
            const std::vector<int> listed = grid.codes(x, y, MASK_EDGE_POINT);
            for (int code : listed) {
                const std::vector<int> back = grid.codes(x + x_offset[code], y + y_offset[code], MASK_EDGE_POINT);
                const int reverse = [code] {
                    for (int d = 0; d < DIRECTIONS; ++d)
                        if (x_offset[d] == -x_offset[code] && y_offset[d] == -y_offset[code]) return d;
                    return -1;
                }();
                EXPECT_NE(std::find(back.begin(), back.end(), reverse), back.end()) << x << "," << y;
            }
        }
    }
    literal::Record_image = nullptr;
}
