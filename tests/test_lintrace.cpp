// lintrace run the way a user runs it: the usage text, every failure's
// message and status, the output file's fate, and whole runs on photographs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "helpers.h"
#include "lintrace/lintrace.h"
#include "literal/literal.h"

using testing::HasSubstr;

namespace {

std::string usage()
{
    return "usage:\t" + LINTRACE +
           "\n\t-i <string>\n\t[-s <float>]\n\t[-m <int>]\n\t[-lt <float>]\n\t[-ht <float>]\n\t[-sp]\n\t-o <string>\n"
           "where:\t\"i\" the name of the PGM image file for input\n"
           "\t\"s\" the sigma value used for convolution (default 0.4)\n"
           "\t\"m\" the size of the full mask used for convolution (default 4*sigma)\n"
           "\t\"lt\" the low threshold value (default 1.4)\n"
           "\t\"ht\" the high threshold value (default 2.0)\n"
           "\t\"sp\" print out sub-pixel localized values (default FALSE)\n"
           "\t\"o\" the name of the file to store the connectivity list\n";
}

ProgramRun run_lintrace(std::vector<std::string> arguments, const std::string& input = "")
{
    arguments.insert(arguments.begin(), LINTRACE);
    return run_program(arguments, input);
}

std::string photo_path(const std::string& name)
{
    return DATA_DIR + "/" + name;
}

struct Point {
    double x, y;
};

std::vector<std::vector<Point>> blocks_of(const std::string& text)
{
    std::vector<std::vector<Point>> blocks(1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "-1 -1") {
            blocks.emplace_back();
            continue;
        }
        Point p{};
        std::istringstream numbers(line);
        numbers >> p.x >> p.y;
        blocks.back().push_back(p);
    }
    return blocks;
}

}  // namespace

TEST(Lintrace, SwitchErrorsPrintTheUsageTextAndExit255)
{
    const std::string in = photo_path("chelsea.pgm");
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "ERROR:  -i is required.\n"},
        {{"-i", in}, "ERROR:  -o is required.\n"},
        {{"-o", "x.list"}, "ERROR:  -i is required.\n"},
        {{"-i", in, "-o", "x", "-sp", "-sp"}, "ERROR:  -sp is given more than once.\n"},
        {{"-i", in, "-o", "x", "-s", "abc"}, "ERROR:  the value \"abc\" of -s is not a float.\n"},
        {{"-i", in, "-o", "x", "-x"}, "ERROR:  -x not a valid switch.\n"},
        {{"image.pgm"}, "ERROR:  image.pgm not a valid switch.\n"},
        {{"-i", in, "-o"}, "ERROR:  -o needs a value.\n"},
        {{"-i", in, "-o", "x", "-s"}, "ERROR:  -s needs a value.\n"},
        {{"-i", in, "-o", std::string(256, 'a')}, "ERROR:  the value of -o is longer than 255 characters.\n"},
        {{"-i", "/nonexistent", "-o", "x", "-s", "0"}, "ERROR:  sigma must be a positive finite number, not 0.\n"},
        {{"-i", "/nonexistent", "-o", "x", "-s", "-1"}, "ERROR:  sigma must be a positive finite number, not -1.\n"},
        {{"-i", "/nonexistent", "-o", "x", "-s", "nan"}, "ERROR:  sigma must be a positive finite number, not nan.\n"},
        {{"-i", "/nonexistent", "-o", "x", "-s", "inf"}, "ERROR:  sigma must be a positive finite number, not inf.\n"},
        {{"-i", "/nonexistent", "-o", "x", "-s", "1e30"},
         "ERROR:  sigma 1e30 is too large: its mask size does not fit an int.\n"},
    };
    const std::string directory = scratch_directory();
    for (const Case& c : cases) {
        const ProgramRun run = run_lintrace(c.arguments);
        EXPECT_EQ(run.status, 255) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.err, c.message + usage()) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(file_exists("x")) << "nothing is written";
}

TEST(Lintrace, HelpAndVersionGoToStandardOutput)
{
    ProgramRun help = run_lintrace({"--help"});
    EXPECT_EQ(help.status, 0);
    ASSERT_EQ(help.out.substr(0, usage().size()), usage()) << "the usage text, then the long options";
    const std::string long_options = help.out.substr(usage().size());
    EXPECT_THAT(long_options, testing::StartsWith("long options:\n"));
    for (const char* option : {"--format list|svg|geojson|csv", "--auto [<fraction>]", "--threads <int>", "--refine",
                               "--verbose", "--in-place", "--max-pixels <int>", "--page <int>"})
        EXPECT_THAT(long_options, HasSubstr(option));
    EXPECT_THAT(long_options, HasSubstr("partly written")) << "--in-place's risk is stated";
    EXPECT_EQ(help.err, "");
    ProgramRun version = run_lintrace({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "lintrace 1.0.0\n");
}

TEST(Lintrace, BadInputStopsBeforeTheOutputIsTouched)
{
    const std::string directory = scratch_directory();
    const std::string out = directory + "/out.list";
    write_file_bytes(out, "precious");
    struct Case {
        std::string input;
        std::vector<std::string> options;
        std::string message;
    };
    write_file_bytes(directory + "/drawing.gif", std::string("GIF89a\1\0\1\0\x80", 11));
    write_file_bytes(directory + "/short.pgm", "P5\n10 10\n255\nabc");
    write_file_bytes(directory + "/empty.pgm", "");
    write_file_bytes(directory + "/twice.pam", "P7\nWIDTH 1\nHEIGHT 1\nWIDTH 2\nDEPTH 1\nMAXVAL 255\nENDHDR\n\1\2");
    std::filesystem::create_symlink("loop.pgm", directory + "/loop.pgm");
    const auto fatal = [](const std::string& message) {
        return "Program encounters run-time error...\n" + message + "\n...now exiting to system...\n";
    };
    const std::string unknown = "Input file is not a PGM raw image. ";
    const std::string chelsea = photo_path("chelsea.pgm");
    const Case cases[] = {
        {directory + "/drawing.gif", {},
         unknown + directory +
             "/drawing.gif: unknown format: it is not a netpbm (PBM, PGM, PPM, PAM), PNG, JPEG or TIFF image: its first "
             "bytes are 47 49 46 38 39 61 01 00 (\"GIF89a..\")\n"},
        {directory + "/empty.pgm", {}, unknown + directory + "/empty.pgm: unknown format: the file is empty\n"},
        {directory + "/short.pgm", {},
         directory + "/short.pgm: PGM data is truncated: the raster holds fewer than 10 x 10 pixels\n"},
        {directory + "/twice.pam", {}, directory + "/twice.pam: PAM header is malformed: WIDTH is given twice\n"},
        // Not found is said only of what is not there.
        {directory + "/missing.pgm", {},
         fatal("Input file not found: " + directory + "/missing.pgm: No such file or directory")},
        {directory + "/short.pgm/x", {},
         fatal("Input file not found: " + directory + "/short.pgm/x: Not a directory")},
        {directory, {}, fatal("Input file is a directory: " + directory)},
        {directory + "/loop.pgm", {},
         fatal("Input file could not be opened: " + directory + "/loop.pgm: Too many levels of symbolic links")},
        // A pixel limit and a page refuse before the samples are read.
        {chelsea, {"--max-pixels", "135299"},
         chelsea + ": PGM image of 451 x 300 pixels (135300) is larger than the limit of 135299 pixels\n"},
        {directory + "/short.pgm", {"--max-pixels=99"},
         directory + "/short.pgm: PGM image of 10 x 10 pixels (100) is larger than the limit of 99 pixels\n"},
        {chelsea, {"--page", "2"}, chelsea + ": PGM image has 1 page, not the page 2 asked for\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-i", c.input, "-o", out};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProgramRun run = run_lintrace(arguments);
        EXPECT_EQ(run.status, 1) << c.input;
        EXPECT_EQ(run.err, c.message) << c.input;
        EXPECT_EQ(read_file(out), "precious");
    }
    if (geteuid() != 0) {
        chmod((directory + "/short.pgm").c_str(), 0);
        const ProgramRun run = run_lintrace({"-i", directory + "/short.pgm", "-o", out});
        EXPECT_EQ(run.err, fatal("Input file could not be opened: " + directory + "/short.pgm: Permission denied"));
    } else {
        std::cout << "[ SKIPPED  ] an unreadable input: root reads every file\n";
    }
    // At the limit the image is traced.
    EXPECT_EQ(run_lintrace({"-i", chelsea, "-o", out, "--max-pixels", "135300"}).status, 0);
}

TEST(Lintrace, OutputThatCannotBeWrittenIsReported)
{
    const std::string directory = scratch_directory();
    const std::string missing = directory + "/no/such/dir/out.list";
    ProgramRun run = run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", missing});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "ERROR, can't open file \"" + missing + "\" for \"w\": No such file or directory\n");
    EXPECT_FALSE(file_exists(directory + "/no"));

    run = run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", "/dev/full"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "ERROR, can't write file \"/dev/full\": No space left on device\n");
    for (const char* format : {"svg", "geojson", "csv"}) {
        run = run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", "/dev/full", "--format", format});
        EXPECT_EQ(run.status, 255) << format;
        EXPECT_EQ(run.err, "ERROR, can't write file \"/dev/full\": No space left on device\n") << format;
    }
    const std::string vector = directory + "/no/such/dir/out.svg";
    run = run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", vector});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "ERROR, can't open file \"" + vector + "\" for \"w\": No such file or directory\n");
}

TEST(Lintrace, AnImageWithoutEdgesGivesAnEmptyFile)
{
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/grey.pgm", pgm_bytes(blank_image(40, 30, 77)));
    write_file_bytes(directory + "/out.list", "old content");
    for (const char* size : {"1 1", "1 9", "9 1", "3 3"}) {
        write_file_bytes(directory + "/tiny.pgm", std::string("P5\n") + size + "\n255\n" + std::string(81, '\xff'));
        ProgramRun tiny = run_lintrace({"-i", directory + "/tiny.pgm", "-o", directory + "/tiny.list", "-s", "3"});
        EXPECT_EQ(tiny.status, 0) << size;
        EXPECT_EQ(read_file(directory + "/tiny.list"), "") << size;
    }
    ProgramRun run = run_lintrace({"-i", directory + "/grey.pgm", "-o", directory + "/out.list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(file_exists(directory + "/out.list"));
    EXPECT_EQ(read_file(directory + "/out.list"), "");
}

TEST(Lintrace, TheListIsTheLiteralDetectorsByteForByte)
{
    const std::string directory = scratch_directory();
    const TestImage photo = photograph("astronaut.pgm");
    for (bool sub_pixel : {false, true}) {
        std::vector<std::string> arguments = {
            "-s", "1.0", "-i", photo_path("astronaut.pgm"), "-o", directory + "/a.list"};
        if (sub_pixel) arguments.push_back("-sp");
        ASSERT_EQ(run_lintrace(arguments).status, 0);
        EXPECT_EQ(read_file(directory + "/a.list"), literal::run(photo.pixels, photo.columns, photo.rows,
                                                                 static_cast<double>(1.0f), 1.4f, 2.0f, sub_pixel));
    }
    ASSERT_EQ(run_lintrace({"-i", photo_path("coffee.pgm"), "-o", directory + "/c.list", "-lt", "3", "-ht", "6"}).status,
              0);
    const TestImage coffee = photograph("coffee.pgm");
    EXPECT_EQ(read_file(directory + "/c.list"),
              literal::run(coffee.pixels, coffee.columns, coffee.rows, 0.4, 3.0f, 6.0f, false))
        << "the default sigma is the double 0.4";
}

TEST(Lintrace, SwitchesWithoutEffectLeaveTheListAlone)
{
    const std::string directory = scratch_directory();
    const std::string in = photo_path("chelsea.pgm");
    ASSERT_EQ(run_lintrace({"-i", in, "-o", directory + "/plain.list"}).status, 0);
    ASSERT_EQ(run_lintrace({"-i", in, "-o", directory + "/m.list", "-m", "9"}).status, 0);
    const std::string plain = read_file(directory + "/plain.list");
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(read_file(directory + "/m.list"), plain) << "-m never changes the mask";
}

TEST(Lintrace, SixteenBitInputIsDetectedLikeItsEightBitVersion)
{
    const std::string directory = scratch_directory();
    const TestImage photo = photograph("chelsea.pgm");
    std::string wide = "P5\n" + std::to_string(photo.columns) + " " + std::to_string(photo.rows) + "\n65535\n";
    for (unsigned char v : photo.pixels) {
        wide += static_cast<char>(v);  // v * 257: the same byte twice
        wide += static_cast<char>(v);
    }
    write_file_bytes(directory + "/wide.pgm", wide);
    ASSERT_EQ(run_lintrace({"-i", directory + "/wide.pgm", "-o", directory + "/wide.list"}).status, 0);
    ASSERT_EQ(run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", directory + "/narrow.list"}).status, 0);
    EXPECT_EQ(read_file(directory + "/wide.list"), read_file(directory + "/narrow.list"));
}

TEST(Lintrace, ListsOfPhotographsHaveTheirStructure)
{
    const std::string directory = scratch_directory();
    for (const char* name : {"astronaut.pgm", "camera.pgm", "chelsea.pgm", "coffee.pgm"}) {
        for (const char* sigma : {"0.4", "1.0", "2.0"}) {
            const TestImage photo = photograph(name);
            const int half = (mask_of(std::stod(sigma)) + 1) / 2;
            ASSERT_EQ(run_lintrace({"-i", photo_path(name), "-o", directory + "/p.list", "-s", sigma}).status, 0);
            ASSERT_EQ(run_lintrace({"-i", photo_path(name), "-o", directory + "/s.list", "-s", sigma, "-sp"}).status, 0);
            const std::string pixel_text = read_file(directory + "/p.list");
            ASSERT_FALSE(pixel_text.empty());
            ASSERT_EQ(pixel_text.substr(pixel_text.size() - 6), "-1 -1\n") << "every block is closed";

            std::istringstream lines(pixel_text);
            for (std::string line; std::getline(lines, line);) {
                if (line == "-1 -1") continue;
                ASSERT_TRUE(line.size() > 8 && line.substr(line.size() - 3) == ".00" &&
                            line.find(".00 ") != std::string::npos)
                    << line;
            }

            const auto pixel_blocks = blocks_of(pixel_text);
            const auto sub_blocks = blocks_of(read_file(directory + "/s.list"));
            ASSERT_EQ(pixel_blocks.size(), sub_blocks.size());
            std::map<std::pair<int, int>, int> seen;
            for (const auto& block : pixel_blocks)
                for (const Point& p : block) ++seen[{static_cast<int>(p.x), static_cast<int>(p.y)}];
            for (size_t b = 0; b + 1 < pixel_blocks.size(); ++b) {
                const auto& block = pixel_blocks[b];
                ASSERT_FALSE(block.empty());
                ASSERT_EQ(block.size(), sub_blocks[b].size());
                for (size_t k = 0; k < block.size(); ++k) {
                    const Point& p = block[k];
                    EXPECT_TRUE(p.x > half && p.x < photo.columns - half && p.y > half && p.y < photo.rows - half);
                    EXPECT_LE(std::fabs(sub_blocks[b][k].x - p.x), 0.85);
                    EXPECT_LE(std::fabs(sub_blocks[b][k].y - p.y), 0.85);
                    if (k > 0) {
                        EXPECT_LE(std::fabs(p.x - block[k - 1].x), 1.0) << "consecutive points are 8-adjacent";
                        EXPECT_LE(std::fabs(p.y - block[k - 1].y), 1.0);
                        EXPECT_FALSE(p.x == block[k - 1].x && p.y == block[k - 1].y);
                    }
                    if (k > 0 && k + 1 < block.size()) {
                        EXPECT_EQ((seen[{static_cast<int>(p.x), static_cast<int>(p.y)}]), 1)
                            << "an inner point stands nowhere else";
                    }
                }
            }
            if (testing::Test::HasFailure()) return;
        }
    }
}

TEST(Lintrace, StreamsStandInForFilesWithADash)
{
    const std::string bytes = read_file(photo_path("chelsea.pgm"));
    const ProgramRun piped = run_lintrace({"-i", "-", "-o", "-"}, bytes);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    const std::string directory = scratch_directory();
    ASSERT_EQ(run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", directory + "/f.list"}).status, 0);
    EXPECT_EQ(piped.out, read_file(directory + "/f.list"));
    const ProgramRun truncated = run_lintrace({"-i", "-", "-o", "-"}, bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(truncated.status, 1);
    EXPECT_EQ(truncated.out, "");
    EXPECT_THAT(truncated.err, HasSubstr("truncated"));
}

TEST(Lintrace, ResourceLimitsEndTheRunCleanly)
{
#ifdef LINTRACE_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    const std::string directory = scratch_directory();
    const std::string out = directory + "/out.list";
    write_file_bytes(out, "precious");
    std::mt19937 random(1);
    TestImage noise = blank_image(2000, 2000);
    for (unsigned char& v : noise.pixels) v = static_cast<unsigned char>(random());
    write_file_bytes(directory + "/noise.pgm", pgm_bytes(noise));
    const std::string command = LINTRACE + " -i " + directory + "/noise.pgm -o " + out;
    // Room for the image, not for the detector's working state.
    ProgramRun run = run_program({"/bin/sh", "-c", "ulimit -v 30000; exec " + command});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Program encounters run-time error...\nMemory allocation failure\n...now exiting to system...\n");
    EXPECT_TRUE(read_file(out) == "precious");
    // A list that outgrows the file size limit fails its write: the old list stays.
    run = run_program({"/bin/sh", "-c", "ulimit -f 8; exec " + command});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "ERROR, can't write file \"" + out + "\": File too large\n");
    EXPECT_TRUE(read_file(out) == "precious");
    std::filesystem::remove(directory + "/noise.pgm");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()), 1)
        << "the unfinished list is removed";
}

TEST(Lintrace, AGridOfOnePixelLinesStaysWithinTheMemoryBound)
{
#ifdef LINTRACE_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory is not the program's";
#endif
    // Lines every fourth pixel both ways make the worst image known: one
    // connected group of edges of one point between two junctions, an edge
    // per two pixels. The bounds are the README's, 32 and 40 bytes a pixel,
    // the program's fixed megabytes included (this grid takes about 23 and
    // 35); the 85 and 101 such images once took fail them, and so does
    // holding any of the records of a grid's edges twice at the peak.
    const int side = 2000;
    TestImage grid = blank_image(side, side);
    for (int r = 0; r < side; ++r)
        for (int c = 0; c < side; ++c)
            if (r % 4 == 0 || c % 4 == 0) grid.pixels[static_cast<size_t>(r) * side + c] = 255;
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/grid.pgm", pgm_bytes(grid));
    // Every format: the vector formats are formatted a piece at a time from
    // the detector's records, and the gradient at the points of GeoJSON and
    // CSV computed from the image's samples, never held whole.
    for (const char* ending : {".list", ".svg", ".geojson", ".csv", ".dxf"}) {
        for (const char* mode : {"", "-sp"}) {
            std::vector<std::string> argv{LINTRACE,      "-i", directory + "/grid.pgm", "-o", directory + "/grid" + ending,
                                          "--threads", "2"};
            if (*mode) argv.push_back(mode);
            const ProgramRun run = run_program(argv);
            ASSERT_EQ(run.status, 0) << run.err;
            const double pixels = static_cast<double>(side) * side;
            EXPECT_LT(run.peak_kilobytes * 1024.0, (*mode ? 40 : 32) * pixels) << ending << " " << mode;
            std::remove((directory + "/grid" + ending).c_str());
        }
    }
}

TEST(Lintrace, ManyThreadsOnASmallImageCostWhatTwoDo)
{
#ifdef LINTRACE_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory is not the program's";
#endif
    // A stage starts no more threads than it has pieces of work: the
    // photograph is one piece for suppression and writing and a few for
    // linking, so the most threads a run may have cost no more memory than
    // two (each thread started would take its stack's touched pages: the
    // 1024 once started took 11 MB more) and give the same list.
    const std::string directory = scratch_directory();
    const std::vector<std::string> run = {LINTRACE, "-i", photo_path("camera.pgm"), "-s", "1.0", "-o"};
    std::vector<std::string> two = run, most = run;
    two.insert(two.end(), {directory + "/two.list", "--threads", "2"});
    most.insert(most.end(), {directory + "/most.list", "--threads", std::to_string(lintrace::MAX_THREADS)});
    const ProgramRun with_two = run_program(two);
    const ProgramRun with_most = run_program(most);
    ASSERT_EQ(with_two.status, 0) << with_two.err;
    ASSERT_EQ(with_most.status, 0) << with_most.err;
    EXPECT_LT(with_most.peak_kilobytes, with_two.peak_kilobytes + 2048);
    EXPECT_TRUE(read_file(directory + "/two.list") == read_file(directory + "/most.list"));
}

TEST(Lintrace, MisusedLongOptionsAreSwitchErrors)
{
    const std::string in = photo_path("chelsea.pgm");
    const std::string directory = scratch_directory();
    const std::string out = directory + "/out.list";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--threads", "0"}, "ERROR:  --threads takes a whole number of threads from 1 up, not '0'.\n"},
        {{"--threads=2.5"}, "ERROR:  --threads takes a whole number of threads from 1 up, not '2.5'.\n"},
        {{"--threads", "many"}, "ERROR:  --threads takes a whole number of threads from 1 up, not 'many'.\n"},
        {{"--threads", "2", "--threads", "3"}, "ERROR:  --threads is given twice.\n"},
        {{"--threads", "1025"}, "ERROR:  --threads takes at most 1024 threads, not '1025'.\n"},
        {{"--threads=100000"}, "ERROR:  --threads takes at most 1024 threads, not '100000'.\n"},
        {{"--max-pixels", "0"}, "ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '0'.\n"},
        {{"--max-pixels=1e6x"}, "ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '1e6x'.\n"},
        {{"--max-pixels", "2.5"}, "ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '2.5'.\n"},
        {{"--max-pixels", "9", "--max-pixels", "9"}, "ERROR:  --max-pixels is given twice.\n"},
        {{"--page", "0"}, "ERROR:  --page takes a page number from 1 to 65535, not '0'.\n"},
        {{"--page=65536"}, "ERROR:  --page takes a page number from 1 to 65535, not '65536'.\n"},
        {{"--page", "2", "--page", "3"}, "ERROR:  --page is given twice.\n"},
        {{"--in-place=yes"}, "ERROR:  --in-place takes no value.\n"},
        {{"--in-place", "--in-place"}, "ERROR:  --in-place is given twice.\n"},
        {{"--format", "png"}, "ERROR:  --format takes list, svg, geojson, csv or dxf, not 'png'.\n"},
        {{"--format=SVGZ"}, "ERROR:  --format takes list, svg, geojson, csv or dxf, not 'SVGZ'.\n"},
        {{"--simplify", "-1"}, "ERROR:  --simplify takes a tolerance, a finite number from 0 up, not '-1'.\n"},
        {{"--simplify=nan"}, "ERROR:  --simplify takes a tolerance, a finite number from 0 up, not 'nan'.\n"},
        {{"--precision", "40"}, "ERROR:  --precision takes a number of digits from 0 to 17, not '40'.\n"},
        {{"--precision=1.5"}, "ERROR:  --precision takes a number of digits from 0 to 17, not '1.5'.\n"},
        {{"--min-points", "-2"}, "ERROR:  --min-points takes a whole number of points from 0 up, not '-2'.\n"},
        {{"--simplify", "1", "--simplify", "2"}, "ERROR:  --simplify is given twice.\n"},
        {{"--polygons=yes"}, "ERROR:  --polygons takes no value.\n"},
        {{"--simplify", "0.5"}, "ERROR:  --simplify applies to the vector formats, not to the connectivity list.\n"},
        {{"--precision", "2"}, "ERROR:  --precision applies to the vector formats, not to the connectivity list.\n"},
        {{"--format", "svg", "--polygons"}, "ERROR:  --polygons applies to GeoJSON, not to svg.\n"},
        {{"--auto", "1.5"}, "ERROR:  the fraction of --auto must be a number above 0 and at most 1, not '1.5'.\n"},
        {{"--auto=0"}, "ERROR:  the fraction of --auto must be a number above 0 and at most 1, not '0'.\n"},
        {{"--auto=nan"}, "ERROR:  the fraction of --auto must be a number above 0 and at most 1, not 'nan'.\n"},
        {{"--auto", "-lt", "3"}, "ERROR:  --auto chooses the thresholds: it cannot be given with -lt.\n"},
        {{"-ht", "3", "--auto", "0.5"}, "ERROR:  --auto chooses the thresholds: it cannot be given with -ht.\n"},
        {{"--auto", "--auto"}, "ERROR:  --auto is given twice.\n"},
        {{"--verbose", "--verbose"}, "ERROR:  --verbose is given twice.\n"},
        {{"--verbose=yes"}, "ERROR:  --verbose takes no value.\n"},
        {{"--refine"}, "ERROR:  --refine moves the sub-pixel points: it needs -sp.\n"},
        {{"-sp", "--refine=yes"}, "ERROR:  --refine takes no value.\n"},
        {{"-sp", "--refine", "--refine"}, "ERROR:  --refine is given twice.\n"},
        {{"--frobnicate"}, "ERROR:  --frobnicate not a valid switch.\n"},
        {{"--stream", "--auto"},
         "ERROR:  --auto needs the whole image's gradient before its first edge: it cannot be given with --stream.\n"},
        {{"--progress"}, "ERROR:  --progress tells how a --stream run goes: it needs --stream.\n"},
        {{"--stream", "--format", "geojson"}, "ERROR:  --stream writes the connectivity list only, not geojson.\n"},
        {{"--stream", "--stream"}, "ERROR:  --stream is given twice.\n"},
        {{"--stream=yes"}, "ERROR:  --stream takes no value.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-i", in, "-o", out};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProgramRun run = run_lintrace(arguments);
        EXPECT_EQ(run.status, 255) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.err, c.message + usage()) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.out, "");
    }
    for (const char* option : {"--threads", "--format", "--max-pixels", "--page"}) {
        const ProgramRun run = run_lintrace({"-i", in, "-o", out, option});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, std::string("ERROR:  ") + option + " needs a value.\n" + usage());
    }
    EXPECT_FALSE(file_exists(out)) << "nothing is written";
    // In the place of a switch's value a long option is that value.
    const ProgramRun value = run_lintrace({"-i", "--verbose", "-o", out});
    EXPECT_EQ(value.status, 1);
    EXPECT_THAT(value.err, HasSubstr("Input file not found"));
}

TEST(Lintrace, TheOutputsFormatFollowsItsNameOrTheFormatOption)
{
    const std::string in = photo_path("chelsea.pgm");
    const std::string directory = scratch_directory();
    ASSERT_EQ(run_lintrace({"-i", in, "-o", directory + "/plain.list"}).status, 0);
    const std::string list = read_file(directory + "/plain.list");
    struct Case {
        std::vector<std::string> arguments;
        std::string written;  // the file, or "-" for the standard output
        std::string begins;
    };
    const std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"";
    const std::string csv = "edge,point,x,y,magnitude,direction\n0,0,";
    const std::string geojson = "{\"type\":\"FeatureCollection\",\n\"lintrace\":{\"version\":\"1.0.0\",\"width\":451,";
    const Case cases[] = {
        {{"-o", directory + "/a.svg"}, directory + "/a.svg", svg},
        {{"-o", directory + "/a.csv"}, directory + "/a.csv", csv},
        {{"-o", directory + "/a.geojson"}, directory + "/a.geojson", geojson},
        {{"-o", directory + "/a.SVG"}, directory + "/a.SVG", list},
        {{"-o", directory + "/a.txt"}, directory + "/a.txt", list},
        {{"-o", directory + "/b.svg", "--format", "list"}, directory + "/b.svg", list},
        {{"-o", directory + "/b.list", "--format=csv"}, directory + "/b.list", csv},
        {{"-o", "-", "--format", "svg"}, "-", svg},
        {{"-o", "-", "--format", "geojson", "--threads", "3"}, "-", geojson},
        {{"-o", "-"}, "-", list},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-i", in};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProgramRun run = run_lintrace(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string written = c.written == "-" ? run.out : read_file(c.written);
        EXPECT_TRUE(written.compare(0, c.begins.size(), c.begins) == 0) << testing::PrintToString(c.arguments);
        if (c.begins == list) {
            EXPECT_TRUE(written == list) << "every other name is the list, byte for byte";
        }
    }
}

TEST(Lintrace, VerboseTellsWhatTheRunReadUsedAndFound)
{
    const std::string directory = scratch_directory();
    const ProgramRun run = run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", directory + "/v.list", "-s", "1.5",
                                         "-sp", "--verbose", "--threads", "3"});
    ASSERT_EQ(run.status, 0);
    const std::string list = read_file(directory + "/v.list");
    size_t edges = 0, points = 0;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) (line == "-1 -1" ? edges : points) += 1;
    std::istringstream told(run.err);
    std::string input, settings, found;
    std::getline(told, input);
    std::getline(told, settings);
    std::getline(told, found);
    EXPECT_EQ(input,
              "lintrace: input " + photo_path("chelsea.pgm") + ": 451 x 300 pixels, PGM, grey, maximum value 255");
    EXPECT_EQ(settings, "lintrace: settings: -s 1.5 (mask 7) -lt 1.39999998 -ht 2 -sp, 3 threads; output " + directory +
                            "/v.list: list");
    EXPECT_THAT(found, testing::MatchesRegex("lintrace: " + std::to_string(edges) + " edges, " +
                                             std::to_string(points) + " points in [0-9]+\\.[0-9]{3} s"));
    ASSERT_EQ(run_lintrace({"-i", photo_path("chelsea.pgm"), "-o", directory + "/q.list", "-s", "1.5", "-sp"}).status,
              0);
    EXPECT_TRUE(read_file(directory + "/q.list") == list) << "--verbose and --threads leave the list alone";
}
