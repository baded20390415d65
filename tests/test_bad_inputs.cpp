// Bad input, run through the built programs: every case gets its clear
// message and exit status, and a failed run neither creates nor changes the
// output file. Inputs that are odd but valid (a 1 x 1 image, a huge sigma, a
// list of strange coordinates) run to the end.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <string>
#include <vector>

#include "helpers.h"

namespace {

constexpr const char* PRECIOUS = "precious old output";

struct Case {
    std::string what;
    bool linpaint;                       // else lintrace
    std::vector<std::string> arguments;  // {in}, {out} and {dir} stand for scratch paths
    std::string input;                   // the bytes of {in}
    int status;
    std::string message;  // the standard error stream's first line
    bool usage;           // the usage text follows the message
};

std::string fill(std::string text, const std::string& directory)
{
    const std::pair<std::string, std::string> names[] = {
        {"{in}", directory + "/in"}, {"{out}", directory + "/out"}, {"{dir}", directory}};
    for (const auto& [placeholder, path] : names)
        for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder))
            text.replace(at, placeholder.size(), path);
    return text;
}

std::string image_of(int columns, int rows)
{
    std::string bytes = "P5\n" + std::to_string(columns) + " " + std::to_string(rows) + "\n255\n";
    for (int k = 0; k < columns * rows; ++k) bytes += static_cast<char>((k * 37) % 251);
    return bytes;
}

std::vector<Case> cases()
{
    const std::string not_pgm = "Input file is not a PGM raw image. {in}: unknown format: ";
    const std::string malformed = "{in}: PGM header is malformed: ";
    const std::string truncated = "{in}: PGM data is truncated: the raster holds fewer than ";
    const std::string run = "-i {in} -o {out}";
    const std::string paint = "-i {in} -r 20 -c 30 -o {out}";
    const std::string unreadable_message =
        geteuid() == 0 ? "Input file could not be read: /proc/self/mem: Input/output error" : "Program encounters run-time error...";
    std::vector<Case> all = {
        {"empty file", false, {run}, "", 1, not_pgm + "the file is empty", false},
        {"only white space", false, {run}, " \n\t\n", 1, not_pgm + "it is not a netpbm, PNG, JPEG or TIFF image", false},
        {"GIF image", false, {run}, "GIF89a\2\0\2\0", 1, not_pgm + "it is not a netpbm, PNG, JPEG or TIFF image", false},
        {"magic and nothing else",
         false,
         {run},
         "P5",
         1,
         malformed + "the file ends before the width",
         false},
        {"ends in the comments",
         false,
         {run},
         "P5\n# a comment\n",
         1,
         malformed + "the file ends before the width",
         false},
        {"one dimension",
         false,
         {run},
         "P5\n3\n255\nabc",
         1,
         malformed + "the maximum value is not a decimal number",
         false},
        {"dimension that overflows",
         false,
         {run},
         "P5\n99999999999 2\n255\nabc",
         1,
         malformed + "the width has more than 10 digits",
         false},
        {"zero columns", false, {run}, "P5\n0 2\n255\n", 1, malformed + "a dimension is not positive", false},
        {"negative rows", false, {run}, "P5\n3 -2\n255\nabcdef", 1, malformed + "the height is not a decimal number", false},
        {"no maximum value", false, {run}, "P5\n3 2\n", 1, malformed + "the file ends before the maximum value", false},
        {"maximum value 0",
         false,
         {run},
         "P5\n3 2\n0\nabcdef",
         1,
         malformed + "the maximum value is not within 1 to 65535",
         false},
        {"maximum value 70000",
         false,
         {run},
         "P5\n3 2\n70000\nabcdef",
         1,
         malformed + "the maximum value is not within 1 to 65535",
         false},
        {"100000 x 100000 claimed by a tiny file",
         false,
         {run},
         "P5\n100000 100000\n255\nabc",
         1,
         truncated + "100000 x 100000 pixels",
         false},
        {"truncated raster",
         false,
         {run},
         "P5\n4 4\n255\nabcdefgh",
         1,
         truncated + "4 x 4 pixels",
         false},
        {"truncated 16-bit raster",
         false,
         {run},
         "P5\n2 2\n65535\nabcdef",
         1,
         truncated + "2 x 2 pixels",
         false},
        {"directory as input", false, {"-i {dir} -o {out}"}, "", 1, "Program encounters run-time error...", false},
        {"missing input", false, {"-i {dir}/none.pgm -o {out}"}, "", 1, "Program encounters run-time error...", false},
        {"unreadable input",
         false,
         {geteuid() == 0 ? "-i /proc/self/mem -o {out}" : "-i {in} -o {out}"},
         "",
         1,
         unreadable_message,
         false},
        {"output in a missing directory",
         false,
         {"-i {in} -o {dir}/no/such/out"},
         image_of(20, 20),
         255,
         "ERROR, can't open file \"{dir}/no/such/out\" for \"w\"",
         false},
        {"output is a directory",
         false,
         {"-i {in} -o {dir}"},
         image_of(20, 20),
         255,
         "ERROR, can't open file \"{dir}\" for \"w\"",
         false},
        {"full disk",
         false,
         {"-i {in} -o /dev/full"},
         image_of(60, 60),
         255,
         "ERROR, can't write file \"/dev/full\": No space left on device",
         false},
        {"sigma 0",
         false,
         {run + " -s 0"},
         image_of(8, 8),
         255,
         "ERROR:  sigma must be a positive finite number, not 0.",
         true},
        {"sigma -1",
         false,
         {run + " -s -1"},
         image_of(8, 8),
         255,
         "ERROR:  sigma must be a positive finite number, not -1.",
         true},
        {"sigma nan",
         false,
         {run + " -s nan"},
         image_of(8, 8),
         255,
         "ERROR:  sigma must be a positive finite number, not nan.",
         true},
        {"sigma inf",
         false,
         {run + " -s inf"},
         image_of(8, 8),
         255,
         "ERROR:  sigma must be a positive finite number, not inf.",
         true},
        {"sigma 1e30",
         false,
         {run + " -s 1e30"},
         image_of(8, 8),
         255,
         "ERROR:  sigma 1e+30 is too large: its mask size does not fit an int.",
         true},
        {"unknown switch", false, {run + " -x"}, image_of(8, 8), 255, "ERROR:  -x not a valid switch.", true},
        {"repeated switch", false, {run + " -sp -sp"}, image_of(8, 8), 255, "usage:\t" + LINTRACE, false},
        {"missing output switch", false, {"-i {in}"}, image_of(8, 8), 255, "ERROR:  -o is required.", true},
        {"switch without its value", false, {run + " -lt"}, image_of(8, 8), 255, "ERROR:  -lt needs a value.", true},
        {"path longer than its buffer",
         false,
         {"-i {in} -o {dir}/" + std::string(300, 'o')},
         image_of(8, 8),
         255,
         "ERROR:  the value of -o is longer than 255 characters.",
         true},
        {"rows 0",
         true,
         {"-i {in} -r 0 -c 30 -o {out}"},
         "",
         255,
         "ERROR:  -r must be a positive number of rows, not 0.",
         true},
        {"columns -5",
         true,
         {"-i {in} -r 20 -c -5 -o {out}"},
         "",
         255,
         "ERROR:  -c must be a positive number of columns, not -5.",
         true},
        {"absurd image size",
         true,
         {"-i {in} -r 2000000000 -c 2000000000 -o {out}"},
         "",
         1,
         "ERROR:  an image of 2000000000 rows and 2000000000 columns does not fit in memory.",
         false},
        {"rows that overflow an int",
         true,
         {"-i {in} -r 99999999999 -c 99999999999 -o {out}"},
         "",
         1,
         "ERROR:  an image of 2147483647 rows and 2147483647 columns does not fit in memory.",
         false},
        {"token that is not a number",
         true,
         {paint},
         "1 2\n3 4\n-1 -1\n5 six\n-1 -1\n",
         1,
         "The edge list {in} is corrupt: \"six\" is not a number ... exit!",
         false},
        {"missing list",
         true,
         {"-i {dir}/none.list -r 20 -c 30 -o {out}"},
         "",
         255,
         "Fail to open input file {dir}/none.list ... exit!",
         false},
        {"list is a directory",
         true,
         {"-i {dir} -r 20 -c 30 -o {out}"},
         "",
         255,
         "Fail to open input file {dir} ... exit!",
         false},
        {"image to a full disk",
         true,
         {"-i {in} -r 20 -c 30 -o /dev/full"},
         "",
         1,
         "Program encounters run-time error...",
         false},
        {"image in a missing directory",
         true,
         {"-i {in} -r 20 -c 30 -o {dir}/no/out.pgm"},
         "",
         1,
         "Program encounters run-time error...",
         false},
        // Odd but valid: these run to the end.
        {"1 x 1 image", false, {run}, image_of(1, 1), 0, "", false},
        {"1 x N image", false, {run}, image_of(1, 50), 0, "", false},
        {"N x 1 image", false, {run}, image_of(50, 1), 0, "", false},
        {"mask larger than the image", false, {run + " -s 20"}, image_of(10, 10), 0, "", false},
        {"huge sigma on a small image", false, {run + " -s 1e8"}, image_of(20, 20), 0, "", false},
        {"16-bit image", false, {run}, "P5\n2 2\n65535\nabcdefgh", 0, "", false},
        {"colour image", false, {run}, "P6\n2 2\n255\n012345678901", 0, "", false},
        {"plain-text PGM", false, {run}, "P2\n2 2\n255\n1 2 3 4", 0, "", false},
        {"lone number at the end", true, {paint}, "1 2\n-1 -1\n7", 0, "", false},
        {"strange coordinates",
         true,
         {paint + " -l 1"},
         "nan 1 inf 2 -5 3 1e30 1e30 -1 4 2 -1 3 3 -1 -1\n",
         0,
         "",
         false},
    };
    std::string long_edge;
    for (int k = 0; k < 2000000; ++k) long_edge += "3 4\n";
    all.push_back({"an edge of two million points", true, {paint}, long_edge + "-1 -1\n", 0, "", false});
    return all;
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

}  // namespace

TEST(BadInput, EachGetsItsMessageAndStatusAndLeavesTheOutputAlone)
{
    const std::vector<Case> all = cases();
    ASSERT_GE(all.size(), 30u);
    for (const Case& c : all) {
        const std::string directory = scratch_directory();
        const std::string out = directory + "/out";
        write_file_bytes(directory + "/in", c.input);
        const bool fails = c.status != 0;
        if (fails) write_file_bytes(out, PRECIOUS);

        std::vector<std::string> argv{c.linpaint ? LINPAINT : LINTRACE};
        for (const std::string& argument : c.arguments)
            for (const std::string& word : split(fill(argument, directory))) argv.push_back(word);
        if (c.what == "unreadable input" && geteuid() != 0) chmod((directory + "/in").c_str(), 0);

        const ProgramRun result = run_program(argv);
        EXPECT_EQ(result.status, c.status) << c.what;
        const std::string first_line = result.err.substr(0, result.err.find('\n'));
        EXPECT_EQ(first_line, fill(c.message, directory)) << c.what;
        if (c.usage) {
            EXPECT_NE(result.err.find("\nusage:\t"), std::string::npos) << c.what;
        }
        EXPECT_EQ(result.out, "") << c.what;
        if (fails) {
            EXPECT_TRUE(read_file(out) == PRECIOUS) << c.what << ": the output was changed";
            EXPECT_EQ(
                std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()), 2)
                << c.what << ": a file was left behind";
        } else {
            EXPECT_TRUE(file_exists(out)) << c.what;
        }
    }
}
