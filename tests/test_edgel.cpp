// The edgel table: keys, lookups by exact position, removals that keep the
// other records in order, and the sweep order of the 20000 buckets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <stdexcept>
#include <utility>

#include "detector.h"
#include "literal/literal.h"

using testing::ExitedWithCode;
using testing::HasSubstr;

namespace {

using Position = std::pair<int, int>;

std::vector<Position> sweep_positions(const EdgelTable& table)
{
    std::vector<Position> positions;
    for (uint32_t record : edgel_sweep_order(&table))
        positions.emplace_back(table.records[record].x, table.records[record].y);
    return positions;
}

EdgelTable table_of(int columns, int rows, const std::vector<Position>& raster_ordered)
{
    EdgelTable table;
    new_edgel_list(&table, columns, rows, true);
    for (const Position& p : raster_ordered) add_edgel(&table, p.first, p.second, 0, p.first + 0.25, p.second - 0.25);
    return table;
}

}  // namespace

TEST(EdgelTable, KeysFollowTheThousandTimesXPlusYRule)
{
    EXPECT_EQ(edgel_key(3, 5), 3005);
    EXPECT_EQ(edgel_key(25, 7), 5007);
    EXPECT_EQ(edgel_key(0, 0), 0);
    EXPECT_EQ(edgel_key(20, 0), 0);
    EXPECT_EQ(edgel_key(19, 999), 19999);
    EXPECT_EQ(edgel_key(3000000, 5), 5) << "positions beyond the 32-bit range of 1000 x + y keep a valid key";

    // The sweep key holds the same bucket, worked out in integers, on images
    // of up to 2^24 x 2^24 pixels, wide enough for 1000 x + y to pass 2^32.
    EdgelTable table;
    table.columns = int64_t{1} << 24;
    std::mt19937_64 random(7);
    for (int k = 0; k < 100000; ++k) {
        const int32_t x = static_cast<int32_t>(random() >> (k % 2 == 0 ? 40 : 53));
        const int32_t y = static_cast<int32_t>(random() >> (k % 3 == 0 ? 40 : 53));
        ASSERT_EQ(edgel_sweep_key(&table, x, y) >> 48, static_cast<uint64_t>(edgel_key(x, y))) << x << "," << y;
    }
}

TEST(EdgelTable, AnEmptyTableFindsNothing)
{
    EdgelTable table = table_of(10, 10, {});
    EXPECT_EQ(get_edgel(&table, 3, 5), NO_EDGEL);
    EXPECT_EQ(get_edgel_ptr(&table, 3, 5), NO_EDGEL);
    EXPECT_EQ(get_edgel_ptr(&table, -1, 5), NO_EDGEL);
    EXPECT_EQ(get_edgel_ptr(&table, 3, 10), NO_EDGEL);
    testing::internal::CaptureStderr();
    set_edgel_high(&table, 3, 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n\nERROR:  Could not set (3.0, 5.0) high!\n");
    EXPECT_TRUE(edgel_sweep_order(&table).empty());
}

TEST(EdgelTable, RecordsOfOneBucketAreFoundByTheirOwnPosition)
{
    EdgelTable table = table_of(100, 10, {{0, 0}, {20, 0}});
    EXPECT_EQ(sweep_positions(table), (std::vector<Position>{{20, 0}, {0, 0}})) << "newest first";
    const uint32_t twenty = get_edgel(&table, 20, 0);
    ASSERT_NE(twenty, NO_EDGEL);
    EXPECT_EQ(table.records[twenty].x, 20);
    EXPECT_EQ(table.sub_pixels[twenty].x, 20.25);
    EXPECT_EQ(get_edgel(&table, 20, 0), NO_EDGEL) << "a record is taken out once";
    EXPECT_NE(get_edgel_ptr(&table, 0, 0), NO_EDGEL);
    EXPECT_EQ(sweep_positions(table), (std::vector<Position>{{0, 0}}));
}

TEST(EdgelTable, RemovalKeepsTheOtherRecordsInOrder)
{
    EdgelTable table = table_of(100, 10, {{0, 0}, {20, 0}, {40, 0}, {3, 5}});
    EXPECT_EQ(sweep_positions(table), (std::vector<Position>{{3, 5}, {40, 0}, {20, 0}, {0, 0}}));
    ASSERT_NE(get_edgel(&table, 20, 0), NO_EDGEL);  // from the middle of bucket 0
    EXPECT_EQ(sweep_positions(table), (std::vector<Position>{{3, 5}, {40, 0}, {0, 0}}));
    ASSERT_NE(get_edgel(&table, 40, 0), NO_EDGEL);  // its head
    EXPECT_EQ(sweep_positions(table), (std::vector<Position>{{3, 5}, {0, 0}}));
}

TEST(EdgelTable, OnlyTheExactPositionMatches)
{
    EdgelTable table = table_of(100, 10, {{3, 5}});
    for (Position near : {Position{4, 5}, Position{3, 6}, Position{3, 4}, Position{2, 5}, Position{23, 5}})
        EXPECT_EQ(get_edgel_ptr(&table, near.first, near.second), NO_EDGEL) << near.first << "," << near.second;
    EXPECT_NE(get_edgel_ptr(&table, 3, 5), NO_EDGEL);
}

TEST(EdgelTable, FlaggingStrongLeavesTheRecordInPlace)
{
    EdgelTable table = table_of(10, 10, {{3, 5}});
    const uint32_t record = get_edgel_ptr(&table, 3, 5);
    EXPECT_FALSE(edgel_is_high(&table, record));
    set_edgel_high(&table, 3, 5);
    set_edgel_high(&table, 3, 5);
    EXPECT_EQ(get_edgel_ptr(&table, 3, 5), record);
    EXPECT_TRUE(edgel_is_high(&table, record));
}

TEST(EdgelTable, SweepOrderIsTheLiteralBucketWalk)
{
    std::mt19937 random(99);
    for (int round = 0; round < 20; ++round) {
        const int columns = 50 + static_cast<int>(random() % 2000);
        const int rows = 20 + static_cast<int>(random() % 1500);
        std::vector<Position> positions;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < columns; ++x)
                if (random() % 97 == 0) positions.emplace_back(x, y);
        EdgelTable table = table_of(columns, rows, positions);
        literal::reset();
        literal::Edgel** plain = literal::new_edgel_list();
        for (const Position& p : positions) literal::add_edgel(plain, p.first, p.second, 0, 0, 0, 0, 0);
        for (const Position& p : positions) {
            if (random() % 3 != 0) continue;
            EXPECT_NE(get_edgel(&table, p.first, p.second), NO_EDGEL);
            EXPECT_NE(literal::get_edgel(plain, p.first, p.second), nullptr);
        }
        std::vector<Position> expected;
        for (int k = 19999; k >= 0; --k)
            for (literal::Edgel* e = plain[k]; e != nullptr; e = e->next)
                expected.emplace_back(static_cast<int>(e->x), static_cast<int>(e->y));
        EXPECT_EQ(sweep_positions(table), expected) << columns << "x" << rows;

        std::vector<uint32_t> some;
        for (uint32_t record : edgel_sweep_order(&table))
            if (random() % 4 == 0) some.push_back(record);
        std::vector<uint32_t> shuffled = some;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        sort_in_sweep_order(&table, &shuffled);
        EXPECT_EQ(shuffled, some);
        literal::reset();
    }
}

TEST(EdgelTable, PositionsMustComeInRasterOrderInsideTheImage)
{
    EdgelTable table = table_of(10, 10, {{5, 5}});
    EXPECT_THROW(add_edgel(&table, 4, 5, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(add_edgel(&table, 5, 5, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(add_edgel(&table, 10, 5, 0, 0, 0), std::invalid_argument);
}
