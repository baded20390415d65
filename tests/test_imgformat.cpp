// Raw PGM and PPM files: the header layout, the raster, every malformed
// header and truncated raster, and output that never leaves a broken file.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <utility>
#include <vector>

#include "helpers.h"
#include "imgformat.h"
#include "lintrace/image.h"
#include "memory.h"

using testing::ExitedWithCode;
using testing::HasSubstr;
using testing::StrEq;

namespace {

PgmImage* make_pgm(int columns, int rows)
{
    PgmImage* image = static_cast<PgmImage*>(checked_calloc(1, sizeof(PgmImage)));
    std::memcpy(image->magic, "P5", 3);
    image->columns = columns;
    image->rows = rows;
    image->max_value = 255;
    image->pixels = ucmatrix(rows, columns);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) image->pixels[r][c] = static_cast<unsigned char>(r * 40 + c * 7 + 1);
    return image;
}

// Reads bytes written to a scratch file; the message printed goes to *message.
PgmImage* read_pgm_bytes(const std::string& bytes, std::string* message = nullptr)
{
    const std::string path = scratch_directory() + "/in.pgm";
    write_file_bytes(path, bytes);
    testing::internal::CaptureStderr();
    PgmImage* image = read_pgm_file(path.c_str());
    std::string printed = testing::internal::GetCapturedStderr();
    if (message != nullptr) *message = printed;
    return image;
}

std::vector<std::string> directory_entries(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace

TEST(PgmFile, HeaderHoldsMagicPathSizeAndMaximum)
{
    const std::string directory = scratch_directory();
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(directory.c_str()), 0);
    PgmImage* image = make_pgm(3, 2);
    EXPECT_EQ(write_pgm_file("out.pgm", image), 1);
    ASSERT_EQ(chdir(previous), 0);
    const std::string bytes = read_file(directory + "/out.pgm");
    ASSERT_EQ(bytes.size(), 27u);
    EXPECT_EQ(bytes.substr(0, 21), "P5\n# out.pgm\n3 2\n255\n");
    for (int k = 0; k < 6; ++k) EXPECT_EQ(static_cast<unsigned char>(bytes[21 + k]), image->pixels[k / 3][k % 3]);
    free_pgm_data(image);
}

TEST(PgmFile, WrittenImagesReadBack)
{
    const std::string path = scratch_directory() + "/round.pgm";
    PgmImage* image = make_pgm(17, 5);
    image->max_value = 200;
    write_pgm_file(path.c_str(), image);
    PgmImage* back = read_pgm_file(path.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->magic, "P5");
    EXPECT_EQ(back->columns, 17);
    EXPECT_EQ(back->rows, 5);
    EXPECT_EQ(back->max_value, 200) << "a maximum value is kept, never used to scale";
    for (int r = 0; r < 5; ++r) EXPECT_EQ(std::memcmp(back->pixels[r], image->pixels[r], 17), 0);
    free_pgm_data(image);
    free_pgm_data(back);

    const std::string ppm_path = scratch_directory() + "/round.ppm";
    PpmImage* colour = static_cast<PpmImage*>(checked_calloc(1, sizeof(PpmImage)));
    std::memcpy(colour->magic, "P6", 3);
    colour->columns = 4;
    colour->rows = 3;
    colour->max_value = 255;
    colour->red = ucmatrix(3, 4);
    colour->green = ucmatrix(3, 4);
    colour->blue = ucmatrix(3, 4);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            colour->red[r][c] = static_cast<unsigned char>(r + c);
            colour->green[r][c] = static_cast<unsigned char>(100 + r);
            colour->blue[r][c] = static_cast<unsigned char>(200 + c);
        }
    EXPECT_EQ(write_ppm_file(ppm_path.c_str(), colour), 1);
    const std::string bytes = read_file(ppm_path);
    EXPECT_EQ(bytes.substr(bytes.size() - 36, 3), std::string("\x00\x64\xc8", 3)) << "samples in file order";
    PpmImage* colour_back = read_ppm_file(ppm_path.c_str());
    ASSERT_NE(colour_back, nullptr);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(std::memcmp(colour_back->red[r], colour->red[r], 4), 0);
        EXPECT_EQ(std::memcmp(colour_back->green[r], colour->green[r], 4), 0);
        EXPECT_EQ(std::memcmp(colour_back->blue[r], colour->blue[r], 4), 0);
    }
    free_ppm_data(colour);
    free_ppm_data(colour_back);
}

TEST(PgmFile, CommentsAndTheByteAfterTheMaximumValue)
{
    PgmImage* plain = read_pgm_bytes(std::string("P5\n2 1\n255\n\x0a\x20", 13));
    PgmImage* commented = read_pgm_bytes(std::string("P5\n# one\n#two\n2 1\n255\n\x0a\x20", 24));
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(commented, nullptr);
    for (PgmImage* image : {plain, commented}) {
        EXPECT_EQ(image->columns, 2);
        EXPECT_EQ(image->pixels[0][0], 10) << "only one byte ends the header";
        EXPECT_EQ(image->pixels[0][1], 32);
        free_pgm_data(image);
    }
    PgmImage* trailing = read_pgm_bytes("  P5  \n\n1 1 extra\n  7\nQrest");
    ASSERT_NE(trailing, nullptr);
    EXPECT_EQ(trailing->max_value, 7);
    EXPECT_EQ(trailing->pixels[0][0], 'Q');
    free_pgm_data(trailing);
}

TEST(PgmFile, SixteenBitSamplesAreScaledToEightBits)
{
    std::string bytes = "P5\n4 1\n65535\n";
    for (int value : {0, 65535, 32767, 257}) {
        bytes += static_cast<char>(value >> 8);
        bytes += static_cast<char>(value & 255);
    }
    PgmImage* image = read_pgm_bytes(bytes);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->max_value, 255);
    EXPECT_EQ(image->pixels[0][0], 0);
    EXPECT_EQ(image->pixels[0][1], 255);
    EXPECT_EQ(image->pixels[0][2], 127);
    EXPECT_EQ(image->pixels[0][3], 1);
    free_pgm_data(image);

    PgmImage* ten_bit = read_pgm_bytes(std::string("P5\n2 1\n1023\n\x03\xff\x02\x00", 16));
    ASSERT_NE(ten_bit, nullptr);
    EXPECT_EQ(ten_bit->pixels[0][0], 255);
    EXPECT_EQ(ten_bit->pixels[0][1], 128);  // 512 * 255 / 1023 = 127.6
    free_pgm_data(ten_bit);
}

TEST(PgmFile, BadFilesAreReportedAndGiveNoImage)
{
    struct Case {
        std::string bytes;
        std::string message;
    };
    const std::string not_pgm = "Input file is not a PGM raw image.\n";
    const std::string malformed = "Input file has a malformed PGM header: ";
    const Case cases[] = {
        {"", not_pgm},
        {" \n\t", not_pgm},
        {"P6\n1 1\n255\nabc", not_pgm},
        {"P5x\n1 1\n255\na", not_pgm},
        {"P\n1 1\n255\na", not_pgm},
        {"P2\n1 1\n255\n1", not_pgm},
        {std::string(300, 'P'), not_pgm},
        {"P5", malformed + "the file ends before the dimension line.\n"},
        {"P5\n# only a comment\n", malformed + "the file ends before the dimension line.\n"},
        {"P5\n# c\n\n3 2\n255\nabcdef", malformed + "the dimension line does not hold two numbers.\n"},
        {"P5\n3\n2\n255\nabcdef", malformed + "the dimension line does not hold two numbers.\n"},
        {"P5\nthree two\n255\nabcdef", malformed + "the dimension line does not hold two numbers.\n"},
        {"P5\n99999999999 2\n255\nabcdef", malformed + "the dimension line does not hold two numbers.\n"},
        {"P5\n0 2\n255\n", malformed + "a dimension is not positive.\n"},
        {"P5\n3 -2\n255\nabcdef", malformed + "a dimension is not positive.\n"},
        {"P5\n3 2\n", malformed + "the maximum value is missing.\n"},
        {"P5\n3 2\n# late comment\n255\nabcdef", malformed + "the maximum value is missing.\n"},
        {"P5\n3 2\n0\nabcdef", malformed + "the maximum value is not within 1 to 65535.\n"},
        {"P5\n3 2\n65536\nabcdef", malformed + "the maximum value is not within 1 to 65535.\n"},
        {"P5\n3 2\n255", malformed + "the file ends before the raster.\n"},
        {"P5\n3 2\n255\nabcde", "Input file is truncated: its raster holds fewer than 3 x 2 pixels.\n"},
        {"P5\n3 2\n65535\nabcdefghijk", "Input file is truncated: its raster holds fewer than 3 x 2 pixels.\n"},
        {"P5\n100000 100000\n255\nabc",
         "Input file is truncated: its raster holds fewer than 100000 x 100000 pixels.\n"},
        {"P5\n2147483647 2147483647\n65535\nabc",
         "Input file is truncated: its raster holds fewer than 2147483647 x 2147483647 pixels.\n"},
    };
    for (const Case& c : cases) {
        std::string message;
        PgmImage* image = read_pgm_bytes(c.bytes, &message);
        EXPECT_EQ(image, nullptr) << testing::PrintToString(c.bytes);
        EXPECT_EQ(message, c.message) << testing::PrintToString(c.bytes);
    }
}

TEST(PgmFile, MissingFilesAndDirectoriesEndTheProcess)
{
    const std::string report =
        "Program encounters run-time error...\nInput file not found\n...now exiting to system...\n";
    EXPECT_EXIT(read_pgm_file("/nonexistent/x.pgm"), ExitedWithCode(1), StrEq(report));
    EXPECT_EXIT(read_pgm_file(scratch_directory().c_str()), ExitedWithCode(1), StrEq(report));
    EXPECT_EXIT(read_ppm_file("/nonexistent/x.ppm"), ExitedWithCode(1), StrEq(report));
}

TEST(PgmOutput, FailuresEndTheProcessAndLeaveNoFile)
{
    PgmImage* image = make_pgm(4, 4);
    const std::string directory = scratch_directory();
    EXPECT_EXIT(write_pgm_file((directory + "/missing/out.pgm").c_str(), image), ExitedWithCode(1),
                StrEq("Program encounters run-time error...\nOutput file open failed\n...now exiting to system...\n"));
    EXPECT_EXIT(write_pgm_file(directory.c_str(), image), ExitedWithCode(1), HasSubstr("Output file open failed"));
    EXPECT_EXIT(write_pgm_file("/dev/full", image), ExitedWithCode(1),
                StrEq("Program encounters run-time error...\nOutput file write failed: No space left on device\n"
                      "...now exiting to system...\n"));
    EXPECT_TRUE(directory_entries(directory).empty());
    free_pgm_data(image);
}

TEST(PgmOutput, AFailedWriteLeavesTheOldFileWhole)
{
    const std::string directory = scratch_directory();
    const std::string path = directory + "/keep.pgm";
    write_file_bytes(path, "precious");
    PgmImage* big = make_pgm(4000, 1000);
    auto write_beyond_the_size_limit = [&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
        write_pgm_file(path.c_str(), big);
    };
    EXPECT_EXIT(write_beyond_the_size_limit(), ExitedWithCode(1),
                HasSubstr("Output file write failed: File too large"));
    EXPECT_EQ(read_file(path), "precious");
    EXPECT_EQ(directory_entries(directory), std::vector<std::string>{"keep.pgm"}) << "the unfinished file is removed";
    free_pgm_data(big);
}

TEST(PgmOutput, ReplacingAFileKeepsItsModeAndItsLinks)
{
    const std::string directory = scratch_directory();
    const std::string path = directory + "/target.pgm";
    write_file_bytes(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(symlink("target.pgm", (directory + "/link.pgm").c_str()), 0);
    PgmImage* image = make_pgm(2, 2);
    write_pgm_file((directory + "/link.pgm").c_str(), image);
    struct stat status {};
    ASSERT_EQ(lstat((directory + "/link.pgm").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link still points at the file";
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(path).substr(0, 3), "P5\n");

    const mode_t previous = umask(022);
    write_pgm_file((directory + "/new.pgm").c_str(), image);
    umask(previous);
    ASSERT_EQ(stat((directory + "/new.pgm").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    free_pgm_data(image);
}

TEST(PgmFile, AMappedRasterIsTheFilesAndStaysPrivate)
{
    // A raster of several pages, after a header whose end is not on a page boundary.
    const std::string path = scratch_directory() + "/mapped.pgm";
    const int columns = 3001, rows = 7;
    std::string bytes = "P5\n# a comment\n3001 7\n255\n";
    for (int k = 0; k < columns * rows; ++k) bytes += static_cast<char>(k * 31 % 251);
    write_file_bytes(path, bytes);
    PgmImage* image = read_pgm_file(path.c_str());
    ASSERT_NE(image, nullptr);
    const size_t raster = bytes.size() - static_cast<size_t>(columns) * rows;
    for (int r = 0; r < rows; ++r)
        ASSERT_EQ(std::memcmp(image->pixels[r], bytes.data() + raster + static_cast<size_t>(r) * columns, columns), 0);
    image->pixels[6][3000] = 7;  // the image's own copy changes, not the file
    EXPECT_EQ(read_file(path), bytes);
    free_pgm_data(image);
    image = read_pgm_file(path.c_str());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[6][3000], static_cast<unsigned char>(bytes.back()));
    free_pgm_data(image);
}

TEST(PgmFile, AFileThatShrinksWhileMappedEndsTheProcessWithAMessage)
{
    const std::string path = scratch_directory() + "/shrinking.pgm";
    const int columns = 4096, rows = 64;
    write_file_bytes(path, "P5\n4096 64\n255\n" + std::string(static_cast<size_t>(columns) * rows, '\x40'));
    EXPECT_EXIT(
        {
            PgmImage* image = read_pgm_file(path.c_str());
            if (image == nullptr) std::_Exit(3);
            if (truncate(path.c_str(), 100) != 0) std::_Exit(4);
            unsigned sum = 0;
            for (int r = 0; r < rows; ++r) sum += image->pixels[r][columns - 1];
            std::_Exit(sum == 0 ? 5 : 6);
        },
        ExitedWithCode(1), HasSubstr("Input file is truncated: it shrank while it was being read."));
}

TEST(PgmFile, AnImageTheImageLibraryMapsIsGuardedUntilItIsLetGo)
{
    const std::string path = scratch_directory() + "/guarded.pgm";
    const int columns = 4096, rows = 64;
    write_file_bytes(path, "P5\n4096 64\n255\n" + std::string(static_cast<size_t>(columns) * rows, '\x40'));
    std::vector<std::pair<const void*, const void*>> calls;
    lintrace::ReadOptions reading;
    reading.mapping_guard = [&calls](const void* begin, const void* end) {
        calls.emplace_back(begin, end);
        return true;
    };
    lintrace::Image image = lintrace::read_image(path, reading);
    ASSERT_EQ(calls.size(), 1u);
    const auto* samples = static_cast<const char*>(image.samples);
    EXPECT_LE(calls[0].first, static_cast<const void*>(samples));
    EXPECT_EQ(calls[0].second, static_cast<const void*>(samples + static_cast<size_t>(columns) * rows));
    image = lintrace::Image();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], std::make_pair(calls[0].first, calls[0].first));

    // A guard that declines leaves the file read, not mapped.
    reading.mapping_guard = [&calls](const void* begin, const void* end) {
        calls.emplace_back(begin, end);
        return false;
    };
    image = lintrace::read_image(path, reading);
    EXPECT_EQ(image.sample(columns - 1, rows - 1, 0), 0x40);
    image = lintrace::Image();
    EXPECT_EQ(calls.size(), 3u);

    EXPECT_EXIT(
        {
            lintrace::ReadOptions guarded;
            guarded.mapping_guard = guard_mapped_input;
            const lintrace::Image mapped = lintrace::read_image(path, guarded);
            if (truncate(path.c_str(), 100) != 0) std::_Exit(4);
            double sum = 0;
            for (int r = 0; r < rows; ++r) sum += mapped.sample(columns - 1, r, 0);
            std::_Exit(sum == 0 ? 5 : 6);
        },
        ExitedWithCode(1), HasSubstr("Input file is truncated: it shrank while it was being read."));
}
