// Reading connectivity lists: numbers two at a time across any white space
// and any block boundary, the closing pair, and what is not a number.
#include <gtest/gtest.h>

#include "edge_list.h"
#include "helpers.h"

namespace {

struct Reading {
    std::vector<std::vector<EdgePoint>> edges;
    EdgeRead last = EDGE_END_OF_INPUT;
};

Reading read_all(const std::string& text)
{
    const std::string path = scratch_directory() + "/l.list";
    write_file_bytes(path, text);
    EdgeListFile list;
    EXPECT_TRUE(open_edge_list(&list, path.c_str()));
    Reading reading;
    std::vector<EdgePoint> points;
    testing::internal::CaptureStderr();
    while ((reading.last = read_one_edge(&list, &points)) == EDGE_CLOSED) reading.edges.push_back(points);
    testing::internal::GetCapturedStderr();
    close_edge_list(&list);
    return reading;
}

}  // namespace

TEST(EdgeList, PairsAreReadAcrossAnyWhiteSpace)
{
    const Reading r = read_all("1 2\n3\t4\r\n\n-1\n-1 5e0 6\v-1.0\f-1\n");
    ASSERT_EQ(r.edges.size(), 2u);
    ASSERT_EQ(r.edges[0].size(), 2u);
    EXPECT_EQ(r.edges[0][1].x, 3.0f);
    EXPECT_EQ(r.edges[0][1].y, 4.0f);
    EXPECT_EQ(r.edges[1][0].x, 5.0f);
    EXPECT_EQ(r.last, EDGE_END_OF_INPUT);
}

TEST(EdgeList, OnlyTheExactPairMinusOneClosesAnEdge)
{
    const Reading r = read_all("2 2 -1 3 -1 -0.999999 -1 -1");
    ASSERT_EQ(r.edges.size(), 1u);
    EXPECT_EQ(r.edges[0].size(), 3u);
}

TEST(EdgeList, NumbersAreWhatStrtofAccepts)
{
    const Reading r = read_all("+1.5 .25 1e2 0x1p3 inf -nan 12.96 40.5 -1 -1");
    ASSERT_EQ(r.edges.size(), 1u);
    ASSERT_EQ(r.edges[0].size(), 4u);
    EXPECT_EQ(r.edges[0][0].x, 1.5f);
    EXPECT_EQ(r.edges[0][0].y, 0.25f);
    EXPECT_EQ(r.edges[0][1].x, 100.0f);
    EXPECT_EQ(r.edges[0][1].y, 8.0f);
    EXPECT_TRUE(std::isinf(r.edges[0][2].x));
    EXPECT_TRUE(std::isnan(r.edges[0][2].y));
    EXPECT_EQ(r.edges[0][3].x, 12.96f);
}

TEST(EdgeList, ATokenThatIsNotANumberIsACorruptList)
{
    for (const char* text : {"abc 1 -1 -1", "1 2abc -1 -1", "1,5 2 -1 -1", "1 2\n3 - -1 -1", "1 2 \x01 -1"})
        EXPECT_EQ(read_all(text).last, EDGE_CORRUPT) << text;
    EXPECT_EQ(read_all("1 2 -1 -1 7").last, EDGE_END_OF_INPUT) << "a lone number ends the input";
    EXPECT_EQ(read_all(std::string(70000, '7')).last, EDGE_CORRUPT) << "no number is that long";
}

// The longest token is read whole; one character more ends the reading, also
// where the input never ends it.
TEST(EdgeList, ATokenLongerThanTheLongestIsACorruptList)
{
    const std::string longest = "1" + std::string(LONGEST_TOKEN - 1, '0');
    struct Case {
        std::string text;
        EdgeRead last;
        size_t edges;
    };
    const Case cases[] = {
        {longest + " 2 -1 -1", EDGE_END_OF_INPUT, 1},
        {"3 " + longest + " -1 -1", EDGE_END_OF_INPUT, 1},
        {longest + "0 2 -1 -1", EDGE_CORRUPT, 0},
        {"1 2 -1 -1 " + longest + "0", EDGE_CORRUPT, 1},
        {std::string(LONGEST_TOKEN + 1, '\0'), EDGE_CORRUPT, 0},
        {std::string(LONGEST_TOKEN, '\0'), EDGE_CORRUPT, 0},
    };
    for (const Case& c : cases) {
        const Reading r = read_all(c.text);
        EXPECT_EQ(r.last, c.last) << c.text.size();
        EXPECT_EQ(r.edges.size(), c.edges) << c.text.size();
    }
}

TEST(EdgeList, TokensSpanningReadBlocksAreWhole)
{
    std::string text;
    int points = 0;
    while (text.size() < 3u * (1 << 20)) {
        text += std::to_string(points % 1000) + ".125 " + std::to_string(points % 777) + ".5\n";
        if (++points % 50 == 0) text += "-1 -1\n";
    }
    text += "-1 -1\n";
    const Reading r = read_all(text);
    size_t total = 0;
    for (const auto& e : r.edges) total += e.size();
    EXPECT_EQ(total, static_cast<size_t>(points));
    int k = 0;
    for (const auto& e : r.edges)
        for (const EdgePoint& p : e) {
            ASSERT_EQ(p.x, static_cast<float>(k % 1000) + 0.125f) << k;
            ASSERT_EQ(p.y, static_cast<float>(k % 777) + 0.5f) << k;
            ++k;
        }
}
