// linpaint run the way a user runs it: usage, failures, which edges and
// points are painted, and the round trip with lintrace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

#include "canvas.h"
#include "helpers.h"

using testing::HasSubstr;

namespace {

const std::string USAGE_TAIL =
    "\n\t-i <string>\n\t-r <int>\n\t-c <int>\n\t[-l <int>]\n\t-o <string>\n"
    "where:\t\"i\" the name of the edge list file for input\n"
    "\t\"r\" the rows of the output image\n"
    "\t\"c\" the columns of the output image\n"
    "\t\"l\" the minimum length of edges (default 5)\n"
    "\t\"o\" the name of the file to store the output edge image (PGM format)\n";

ProgramRun linpaint(std::vector<std::string> arguments, const std::string& input = "")
{
    arguments.insert(arguments.begin(), LINPAINT);
    return run_program(arguments, input);
}

// Paints `list` on a rows x columns image; returns the raster, or "" on failure.
std::string paint(const std::string& list, int rows, int columns, std::vector<std::string> extra = {})
{
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/in.list", list);
    std::vector<std::string> arguments = {"-i", directory + "/in.list",  "-r", std::to_string(rows),
                                          "-c", std::to_string(columns), "-o", directory + "/out.pgm"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ProgramRun run = linpaint(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string bytes = read_file(directory + "/out.pgm");
    const std::string header =
        "P5\n# " + directory + "/out.pgm\n" + std::to_string(columns) + " " + std::to_string(rows) + "\n255\n";
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    return bytes.size() >= header.size() ? bytes.substr(header.size()) : "";
}

std::string raster_with(int rows, int columns, const std::vector<std::pair<int, int>>& white)
{
    std::string raster(static_cast<size_t>(rows) * columns, '\0');
    for (auto [x, y] : white) raster[static_cast<size_t>(y) * columns + x] = '\xff';
    return raster;
}

std::string edge(int points, int x = 1, int y = 1)
{
    std::string text;
    for (int k = 0; k < points; ++k) text += std::to_string(x + k) + ".00 " + std::to_string(y) + ".00\n";
    return text + "-1 -1\n";
}

}  // namespace

TEST(Linpaint, SwitchErrorsPrintTheUsageTextAndExit255)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "ERROR:  -i is required.\n"},
        {{"-i", "x", "-c", "3", "-o", "y"}, "ERROR:  -r is required.\n"},
        {{"-i", "x", "-r", "3", "-c", "3"}, "ERROR:  -o is required.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "-l", "2", "-l", "3"}, "ERROR:  -l is given more than once.\n"},
        {{"-i", "x", "-r", "0", "-c", "3", "-o", "y"}, "ERROR:  -r must be a positive number of rows, not 0.\n"},
        {{"-i", "x", "-r", "3", "-c", "-5", "-o", "y"}, "ERROR:  -c must be a positive number of columns, not -5.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "-l"}, "ERROR:  -l needs a value.\n"},
        {{"-i", std::string(1024, 'a'), "-r", "3", "-c", "3", "-o", "y"},
         "ERROR:  the value of -i is longer than 1023 characters.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--max-pixels", "0"},
         "ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '0'.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--max-pixels=7.5"},
         "ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '7.5'.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--max-pixels", "9", "--max-pixels", "9"},
         "ERROR:  --max-pixels is given more than once.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--max-pixels"}, "ERROR:  --max-pixels needs a number of pixels.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--in-place", "--in-place"},
         "ERROR:  --in-place is given more than once.\n"},
        {{"-i", "x", "-r", "3", "-c", "3", "-o", "y", "--in-place=1"}, "ERROR:  --in-place takes no value.\n"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = linpaint(c.arguments);
        EXPECT_EQ(run.status, 255) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.err, c.message + "usage:\t" + LINPAINT + USAGE_TAIL) << testing::PrintToString(c.arguments);
    }
    EXPECT_FALSE(file_exists("y"));
    const ProgramRun help = linpaint({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.substr(0, help.out.find("long options:\n")), "usage:\t" + LINPAINT + USAGE_TAIL);
    for (const char* option : {"\t[--over <string>]\n", "\t[--in-place]\n", "\t[--max-pixels <int>]\n"})
        EXPECT_NE(help.out.find(option), std::string::npos) << "the long options follow the usage text";
    EXPECT_EQ(linpaint({"--version"}).out, "linpaint 1.0.0\n");
}

TEST(Linpaint, AListThatCannotBeOpenedOrReadEndsTheRun)
{
    const std::string directory = scratch_directory();
    ProgramRun run = linpaint({"-i", directory + "/none.list", "-r", "3", "-c", "3", "-o", directory + "/o.pgm"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Fail to open input file " + directory + "/none.list: No such file or directory ... exit!\n");
    run = linpaint({"-i", directory, "-r", "3", "-c", "3", "-o", directory + "/o.pgm"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Fail to open input file " + directory + ": Is a directory ... exit!\n");
    EXPECT_FALSE(file_exists(directory + "/o.pgm"));
}

TEST(Linpaint, ACorruptListWritesNothing)
{
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/out.pgm", "precious");
    for (const std::string& list : {edge(6) + "12abc 3\n-1 -1\n", std::string("1 1\nnan,2 5\n"), std::string("x")}) {
        write_file_bytes(directory + "/bad.list", list);
        const ProgramRun run =
            linpaint({"-i", directory + "/bad.list", "-r", "9", "-c", "9", "-o", directory + "/out.pgm"});
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr("The edge list " + directory + "/bad.list is corrupt: \""));
        EXPECT_EQ(read_file(directory + "/out.pgm"), "precious");
    }
}

TEST(Linpaint, EmptyListsGiveABlackImage)
{
    EXPECT_EQ(paint("", 4, 6), std::string(24, '\0'));
    EXPECT_EQ(paint(" \n\t\n", 2, 2), std::string(4, '\0'));
}

TEST(Linpaint, OnlyEdgesOfTheMinimumLengthArePainted)
{
    const std::string four = edge(4, 1, 1), five = edge(5, 1, 3);
    EXPECT_EQ(paint(four + five, 6, 8), raster_with(6, 8, {{1, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 3}}));
    EXPECT_EQ(paint(four + "-1 -1\n" + edge(1, 0, 0), 6, 8, {"-l", "0"}),
              raster_with(6, 8, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(paint(edge(1, 2, 2), 6, 8, {"-l", "-3"}), raster_with(6, 8, {{2, 2}}));
    EXPECT_EQ(paint(edge(2, 2, 2) + edge(3, 2, 4), 6, 8, {"-l", "3"}), raster_with(6, 8, {{2, 4}, {3, 4}, {4, 4}}));
}

TEST(Linpaint, PointsTruncateTowardZeroAndOutsidePointsAreSkipped)
{
    EXPECT_EQ(paint("12.96 40.5 -0.5 -0.5 -1 -1", 50, 20, {"-l", "1"}), raster_with(50, 20, {{12, 40}, {0, 0}}));
    const std::string outside =
        "-1 3  3 -1  -1.5 2  20 2  2 50  1e30 2  nan 2  2 inf  -inf 2  3e9 1  0x1p1 1  +3 1  .5 2 -1 -1\n";
    EXPECT_EQ(paint(outside, 50, 20, {"-l", "1"}), raster_with(50, 20, {{2, 1}, {3, 1}, {0, 2}}));
}

TEST(Linpaint, AnUnfinishedLastEdgeIsDropped)
{
    EXPECT_EQ(paint(edge(5) + "1 5\n2 5\n3 5\n4 5\n5 5\n", 8, 8),
              raster_with(8, 8, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}));
    EXPECT_EQ(paint(edge(5) + "1 5\n2", 8, 8), raster_with(8, 8, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}));
}

TEST(Linpaint, AnEdgeLongerThanTheImageHasPixelsIsPaintedWhole)
{
    std::string list;
    for (int k = 0; k < 100; ++k) list += "1 1\n";
    list += "3 2\n-1 -1\n";
    EXPECT_EQ(paint(list, 3, 4), raster_with(3, 4, {{1, 1}, {3, 2}}));
}

TEST(Linpaint, OutputFailuresAreReported)
{
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/in.list", edge(5));
    ProgramRun run = linpaint({"-i", directory + "/in.list", "-r", "9", "-c", "9", "-o", "/dev/full"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Program encounters run-time error...\nOutput file write failed: /dev/full: No space left on device\n"
              "...now exiting to system...\n");
    run = linpaint({"-i", directory + "/in.list", "-r", "9", "-c", "9", "-o", directory + "/no/out.pgm"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Program encounters run-time error...\nOutput file open failed: " + directory +
                           "/no/out.pgm: No such file or directory\n...now exiting to system...\n");
    run =
        linpaint({"-i", directory + "/in.list", "-r", "2000000000", "-c", "2000000000", "-o", directory + "/big.pgm"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR:  an image of 2000000000 rows and 2000000000 columns does not fit in memory.\n");
    EXPECT_FALSE(file_exists(directory + "/big.pgm"));
}

TEST(Linpaint, RedrawsWhatLintraceFound)
{
    const std::string directory = scratch_directory();
    const TestImage photo = photograph("coffee.pgm");
    ASSERT_EQ(run_program({LINTRACE, "-i", DATA_DIR + "/coffee.pgm", "-o", directory + "/c.list", "-s", "1"}).status,
              0);
    const std::string list = read_file(directory + "/c.list");
    // The pixels of every edge of at least five points, from the list itself.
    std::string expected(photo.pixels.size(), '\0');
    std::istringstream in(list);
    std::vector<std::pair<int, int>> block;
    for (std::string line; std::getline(in, line);) {
        if (line == "-1 -1") {
            if (block.size() >= 5)
                for (auto [x, y] : block) expected[static_cast<size_t>(y) * photo.columns + x] = '\xff';
            block.clear();
            continue;
        }
        block.emplace_back(std::stoi(line), std::stoi(line.substr(line.find(' '))));
    }
    const std::string painted = paint(list, photo.rows, photo.columns);
    EXPECT_EQ(painted, expected);
    EXPECT_GT(std::count(painted.begin(), painted.end(), '\xff'), 5000);

    const ProgramRun piped = run_program(
        {LINPAINT, "-i", "-", "-r", std::to_string(photo.rows), "-c", std::to_string(photo.columns), "-o", "-"}, list);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.substr(piped.out.size() - painted.size()), painted);
    EXPECT_EQ(piped.out.substr(0, 5), "P5\n# ");
}

namespace {

int64_t white_pixels(const PgmImage* image)
{
    int64_t count = 0;
    for (int r = 0; r < image->rows; ++r)
        for (int c = 0; c < image->columns; ++c) count += image->pixels[r][c] == 255;
    return count;
}

}  // namespace

// An edge is drawn whole or not at all, however many of its pixels had to be
// found again by searching (more than the painter lists one by one), and
// pixels that earlier edges drew stay white.
TEST(EdgePainter, AnEdgeIsDrawnWholeOrNotAtAllWhateverItsSize)
{
    struct Case {
        const char* what;
        int rows, columns;
        int64_t length;
        bool closed;
        int64_t white;  // after an earlier edge drew the pixel (0, 0)
    };
    const Case cases[] = {
        {"a short edge, closed", 40, 30, 5, true, 1200},
        {"a short edge, too short", 40, 30, 2147483647, true, 1},
        {"a short edge, unfinished", 40, 30, 1, false, 1},
        {"past the listed pixels, closed", 1100, 1000, 1, true, 1100000},
        {"past the listed pixels, too short", 1100, 1000, 2147483647, true, 1},
        {"past the listed pixels, unfinished", 1100, 1000, 1, false, 1},
    };
    for (const Case& c : cases) {
        PgmImage* image = black_image(c.rows, c.columns);
        EdgePainter earlier(image, 1);
        earlier.add(EdgePoint{0, 0});
        earlier.close();
        EdgePainter painter(image, c.length);
        // Every pixel once, the last row first, with points outside the image
        // and points repeated between them.
        for (int r = c.rows - 1; r >= 0; --r)
            for (int x = 0; x < c.columns; ++x) {
                painter.add(EdgePoint{static_cast<float>(x) + 0.5f, static_cast<float>(r)});
                if (x % 7 == 0) painter.add(EdgePoint{static_cast<float>(c.columns), 0});
                if (x % 11 == 0) painter.add(EdgePoint{0, static_cast<float>(r)});
            }
        c.closed ? painter.close() : painter.drop();
        EXPECT_EQ(white_pixels(image), c.white) << c.what;
        int64_t black = 0;
        for (int r = 0; r < c.rows; ++r)
            for (int x = 0; x < c.columns; ++x) black += image->pixels[r][x] == 0;
        EXPECT_EQ(black + white_pixels(image), static_cast<int64_t>(c.rows) * c.columns) << c.what << ": a pixel left pending";
        free_pgm_data(image);
    }
}

TEST(Linpaint, TheHeaderCommentStaysOneReadableLine)
{
    struct Case {
        std::string path;
        std::string comment;
    };
    const std::string long_name = std::string(300, 'a');
    const std::string cut_in_escape = std::string(249, 'b') + "\n";
    const std::string cut_in_character = std::string(250, 'c') + "\xc3\xa9";
    const Case cases[] = {
        {"out.pgm", "out.pgm"},
        {"-", "-"},
        {"d\xc3\xa9j\xc3\xa0.pgm", "d\xc3\xa9j\xc3\xa0.pgm"},
        {"a\nb\rc\x7f\x01.pgm", "a\\x0ab\\x0dc\\x7f\\x01.pgm"},
        {long_name, std::string(251, 'a')},
        {cut_in_escape, std::string(249, 'b')},
        {cut_in_character, std::string(250, 'c')},
        {std::string(251, 'e'), std::string(251, 'e')},
    };
    for (const Case& c : cases) EXPECT_EQ(header_comment(c.path.c_str()), c.comment) << testing::PrintToString(c.path);
}

TEST(Linpaint, OverAPhotographTheEdgesAreYellowOnTheDimmedPicture)
{
    // A 6 x 4 photograph of grey 200 with a list that paints two of its
    // pixels: the picture is the photograph's size without -r and -c, the
    // painted pixels yellow, every other one half its grey.
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/photo.pgm", pgm_bytes(blank_image(6, 4, 200)));
    write_file_bytes(directory + "/in.list", "1.00 2.00\n4.00 3.00\n-1 -1\n");
    ProgramRun run = linpaint({"-i", directory + "/in.list", "--over", directory + "/photo.pgm", "-l", "1", "-o",
                               directory + "/over.ppm"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string ppm = read_file(directory + "/over.ppm");
    const std::string header = "P6\n# " + directory + "/over.ppm\n6 4\n255\n";
    ASSERT_EQ(ppm.substr(0, header.size()), header);
    std::string raster;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c)
            raster += (r == 2 && c == 1) || (r == 3 && c == 4) ? std::string("\xff\xd6\x00", 3) : std::string(3, 100);
    EXPECT_EQ(ppm.substr(header.size()), raster);

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    };
    const Case refused[] = {
        {{"-r", "5"}, 1, "photo.pgm is 6 x 4 pixels, not the 6 x 5 that -c and -r give"},
        {{"--over", directory + "/photo.pgm"}, 255, "--over is given more than once"},
        {{"-o"}, 255, "-o is given more than once"},
    };
    for (const Case& c : refused) {
        std::vector<std::string> arguments{"-i", directory + "/in.list", "--over", directory + "/photo.pgm", "-o",
                                           directory + "/x.ppm"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        if (c.arguments[0] == "-o") arguments.push_back(directory + "/y.ppm");
        run = linpaint(arguments);
        EXPECT_EQ(run.status, c.status) << c.says;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(directory + "/x.ppm"));
    }
    run = linpaint({"-i", directory + "/in.list", "-o", directory + "/x.ppm", "--over"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')), "ERROR:  --over needs the name of an image.");
    run = linpaint({"-i", directory + "/in.list", "-o", directory + "/x.ppm", "--over", directory + "/none.png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Input file not found: " + directory + "/none.png"), std::string::npos) << run.err;
    // A pixel limit for the photograph: at the limit it is drawn over, above it refused.
    run = linpaint({"-i", directory + "/in.list", "--over", directory + "/photo.pgm", "-o", directory + "/x.ppm",
                    "--max-pixels", "23"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, directory + "/photo.pgm: PGM image of 6 x 4 pixels (24) is larger than the limit of 23 pixels\n");
    EXPECT_FALSE(file_exists(directory + "/x.ppm"));
    run = linpaint({"-i", directory + "/in.list", "--max-pixels=24", "--over", directory + "/photo.pgm", "-l", "1",
                    "-o", directory + "/x.ppm"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string limited = read_file(directory + "/x.ppm");
    ASSERT_GE(limited.size(), raster.size());
    EXPECT_EQ(limited.substr(limited.size() - raster.size()), raster);
}
