// Bad input, run through the built programs: every case gets its clear
// message and exit status, and a failed run neither creates nor changes the
// output file. Inputs that are odd but valid (a 1 x 1 image, a huge sigma, a
// list of strange coordinates) run to the end.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <iostream>
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
        geteuid() == 0 ? "Input file could not be read: /proc/self/mem: Input/output error"
                       : "Program encounters run-time error...\nInput file could not be opened: {in}: Permission denied";
    const std::string not_an_image = "it is not a netpbm (PBM, PGM, PPM, PAM), PNG, JPEG or TIFF image: ";
    std::vector<Case> all = {
        {"empty file", false, {run}, "", 1, not_pgm + "the file is empty", false},
        {"only white space", false, {run}, " \n\t\n", 1,
         not_pgm + not_an_image + "its first bytes are 20 0a 09 0a (\" ...\")", false},
        {"GIF image", false, {run}, std::string("GIF89a\2\0\2\0", 10), 1,
         not_pgm + not_an_image + "its first bytes are 47 49 46 38 39 61 02 00 (\"GIF89a..\")", false},
        {"web page", false, {run}, "<!DOCTYPE html>\n<html>", 1,
         not_pgm + not_an_image + "its first bytes are 3c 21 44 4f 43 54 59 50 (\"<!DOCTYP\")", false},
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
        {"directory as input", false, {"-i {dir} -o {out}"}, "", 1,
         "Program encounters run-time error...\nInput file is a directory: {dir}", false},
        {"missing input", false, {"-i {dir}/none.pgm -o {out}"}, "", 1,
         "Program encounters run-time error...\nInput file not found: {dir}/none.pgm: No such file or directory", false},
        {"a directory as linpaint's photograph", true, {"--over {dir} -i {in} -o {out}"}, "", 1,
         "Program encounters run-time error...\nInput file is a directory: {dir}", false},
        {"a photograph above the pixel limit", true, {"--max-pixels 399 --over {in} -i {in} -o {out}"},
         image_of(20, 20), 1, "{in}: PGM image of 20 x 20 pixels (400) is larger than the limit of 399 pixels", false},
        {"PAM of a field given twice", false, {run}, "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n\1\2", 1,
         "{in}: PAM header is malformed: DEPTH is given twice", false},
        {"PAM of an unknown tuple type and depth 5", false, {run},
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nTUPLTYPE FOO_BAR\nENDHDR\n\1\2\3\4\5", 1,
         "{in}: PAM header is malformed: unknown tuple type \"FOO_BAR\" of depth 5 (only depths 1 to 4 are read)", false},
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
         "ERROR, can't open file \"{dir}/no/such/out\" for \"w\": No such file or directory",
         false},
        {"output is a directory",
         false,
         {"-i {in} -o {dir}"},
         image_of(20, 20),
         255,
         "ERROR, can't open file \"{dir}\" for \"w\": Is a directory",
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
         "ERROR:  sigma 1e30 is too large: its mask size does not fit an int.",
         true},
        {"unknown switch", false, {run + " -x"}, image_of(8, 8), 255, "ERROR:  -x not a valid switch.", true},
        {"repeated switch", false, {run + " -sp -sp"}, image_of(8, 8), 255, "ERROR:  -sp is given more than once.", true},
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
         255,
         "ERROR:  the value \"99999999999\" of -r is outside the range of an int.",
         true},
        {"rows with a unit", true, {"-i {in} -r 512x -c 30 -o {out}"}, "", 255,
         "ERROR:  the value \"512x\" of -r is not an int.", true},
        {"rows with a fraction", true, {"-i {in} -r 512.7 -c 30 -o {out}"}, "", 255,
         "ERROR:  the value \"512.7\" of -r is not an int.", true},
        {"rows as a word", true, {"-i {in} -r abc -c 30 -o {out}"}, "", 255,
         "ERROR:  the value \"abc\" of -r is not an int.", true},
        {"rows 0 typed as 00", true, {"-i {in} -r 00 -c 30 -o {out}"}, "", 255,
         "ERROR:  -r must be a positive number of rows, not 00.", true},
        {"sigma with a decimal comma", false, {run + " -s 1,5"}, image_of(8, 8), 255,
         "ERROR:  the value \"1,5\" of -s is not a float.", true},
        {"sigma with a unit", false, {run + " -s 2px"}, image_of(8, 8), 255,
         "ERROR:  the value \"2px\" of -s is not a float.", true},
        {"low threshold as a word", false, {run + " -lt abc"}, image_of(8, 8), 255,
         "ERROR:  the value \"abc\" of -lt is not a float.", true},
        {"sigma 0.0 quoted as typed", false, {run + " -s 0.0"}, image_of(8, 8), 255,
         "ERROR:  sigma must be a positive finite number, not 0.0.", true},
        {"help asked with -h", false, {"-h"}, "", 255, "ERROR:  -h not a valid switch.", true},
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
         "Fail to open input file {dir}/none.list: No such file or directory ... exit!",
         false},
        {"list is a directory",
         true,
         {"-i {dir} -r 20 -c 30 -o {out}"},
         "",
         255,
         "Fail to open input file {dir}: Is a directory ... exit!",
         false},
        {"image to a full disk",
         true,
         {"-i {in} -r 20 -c 30 -o /dev/full"},
         "",
         1,
         "Program encounters run-time error...\nOutput file write failed: /dev/full: No space left on device",
         false},
        {"image in a missing directory",
         true,
         {"-i {in} -r 20 -c 30 -o {dir}/no/out.pgm"},
         "",
         1,
         "Program encounters run-time error...\nOutput file open failed: {dir}/no/out.pgm: No such file or directory",
         false},
        // Odd but valid: these run to the end.
        {"1 x 1 image", false, {run}, image_of(1, 1), 0, "", false},
        {"1 x N image", false, {run}, image_of(1, 50), 0, "", false},
        {"N x 1 image", false, {run}, image_of(50, 1), 0, "", false},
        {"mask larger than the image", false, {run + " -s 20"}, image_of(10, 10), 0, "", false},
        {"huge sigma on a small image", false, {run + " -s 1e8"}, image_of(20, 20), 0, "", false},
        {"16-bit image", false, {run}, "P5\n2 2\n65535\nabcdefgh", 0, "", false},
        {"colour image", false, {run}, "P6\n2 2\n255\n012345678901", 0, "", false},
        {"PAM of a tuple type this reader does not know", false, {run},
         "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE FOO_BAR\nENDHDR\n012345", 0, "", false},
        {"an image at the pixel limit", false, {run + " --max-pixels 400"}, image_of(20, 20), 0, "", false},
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
        // The message's lines open the standard error stream.
        const std::string message = fill(c.message, directory);
        const size_t lines_end = result.err.find('\n', message.size() > 0 ? message.size() - 1 : 0);
        EXPECT_EQ(result.err.substr(0, lines_end), message) << c.what;
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

namespace {

// A hostile environment: each case prepares its scratch directory with shell
// commands, runs the programs there ($L is lintrace, $P linpaint, $OTHER runs
// what follows as another user when the tests run as root), and states the
// status (-1: any), the lines that open the standard error stream, and a shell
// test of what must be on disk afterwards. in.pgm is a photograph, ref.list
// its list, in.list a short list.
struct Hostile {
    std::string what;
    std::string needs;  // "root": another user's files, mounts; "limit": an address-space limit; skipped where they cannot run
    std::string setup;
    std::string command;
    int status;
    std::string message;
    std::string after;
};

const std::string BIG_IMAGE = "{ printf 'P5\\n3000 3000\\n255\\n'; head -c 9000000 /dev/urandom; } > big.pgm; ";
const std::string OLD = "echo precious > out.list; ";
// A directory that may not be written (by the other user, when the tests run as root), holding a file that may.
const std::string RO = "mkdir ro; echo old > ro/out.list; chmod 666 ro/out.list; chmod 555 ro; ";
const std::string RO_KEPT = "test \"$(cat ro/out.list)\" = old && test \"$(ls -A ro)\" = out.list";
const std::string ONLY = "test \"$(ls -A | grep -v -e '^in\\.' -e '^ref\\.' -e '^big\\.' | tr '\\n' ' ')\" = ";

std::vector<Hostile> hostile_cases()
{
    return {
        {"-o names the input", "", "cp in.pgm keep.pgm; ", "$L -i in.pgm -o in.pgm", 255,
         "ERROR, can't open file \"in.pgm\" for \"w\": it is the input file in.pgm", "cmp in.pgm keep.pgm"},
        {"-o is a link to the input", "", "cp in.pgm keep.pgm; ln -s in.pgm l.pgm; ", "$L -i in.pgm -o l.pgm", 255,
         "ERROR, can't open file \"l.pgm\" for \"w\": it is the input file in.pgm",
         "cmp in.pgm keep.pgm && test -L l.pgm"},
        {"linpaint's -o names its list", "", "cp in.list keep.list; ", "$P -i in.list -r 9 -c 9 -o in.list", 1,
         "Program encounters run-time error...\nOutput file open failed: in.list: it is the input file in.list",
         "cmp in.list keep.list"},
        {"a link to a file not yet made", "", "ln -s made.list dangling; ", "$L -i in.pgm -o dangling", 0, "",
         "test -L dangling && cmp made.list ref.list"},
        // A file that cannot be replaced whole is refused before the work,
        // naming the file, its directory and the reason; --in-place writes
        // over it, its room reserved and the size limit checked first.
        {"a directory we may not write, a file we may", "", RO,
         "$OTHER $L -i in.pgm -o ro/out.list", 255,
         "ERROR, can't open file \"ro/out.list\" for \"w\": no new file can be made in its directory ro (Permission "
         "denied), so it cannot be replaced whole; --in-place writes over it instead, at the risk of a partly written "
         "file should the run be stopped\n",
         RO_KEPT},
        {"the same for a vector format", "", RO, "$OTHER $L -i in.pgm -o ro/out.list --format svg", 255,
         "ERROR, can't open file \"ro/out.list\" for \"w\": no new file can be made in its directory ro", RO_KEPT},
        {"the same for linpaint's image", "", RO, "$OTHER $P -i in.list -r 9 -c 9 -o ro/out.list", 1,
         "Program encounters run-time error...\nOutput file open failed: ro/out.list: no new file can be made in its "
         "directory ro (Permission denied), so it cannot be replaced whole; --in-place",
         RO_KEPT},
        {"the same for linpaint's overlay", "", RO, "$OTHER $P -i in.list --over in.pgm -o ro/out.list", 1,
         "Program encounters run-time error...\nOutput file open failed: ro/out.list: no new file", RO_KEPT},
        {"--in-place writes over it", "", RO, "$OTHER $L -i in.pgm -o ro/out.list --in-place", 0, "",
         "cmp ro/out.list ref.list && test \"$(ls -A ro)\" = out.list"},
        {"--in-place for linpaint", "", RO + "$P -i in.list -r 9 -c 9 -o made.pgm; ",
         "$OTHER $P --in-place -i in.list -r 9 -c 9 -o ro/out.list", 0, "",
         "cmp <(tail -c 81 ro/out.list) <(tail -c 81 made.pgm) && test \"$(ls -A ro)\" = out.list"},
        {"--in-place checks the size limit before the first byte", "", RO,
         "ulimit -f 100; $OTHER $L -i in.pgm -o ro/out.list --in-place", 255,
         "ERROR, can't write file \"ro/out.list\": 854413 bytes are more than the file-size limit of 102400 bytes "
         "allows (ulimit -f): nothing was written",
         RO_KEPT},
        {"another user's file in a sticky directory", "root",
         "mkdir -m 1777 st; echo old > st/out.list; chmod 666 st/out.list; ", "$OTHER $L -i in.pgm -o st/out.list",
         255,
         "ERROR, can't open file \"st/out.list\" for \"w\": it is another user's file in the sticky directory st, so "
         "it cannot be replaced whole; --in-place",
         "test \"$(cat st/out.list)\" = old && test \"$(ls -A st)\" = out.list"},
        {"--in-place there", "root", "mkdir -m 1777 st; echo old > st/out.list; chmod 666 st/out.list; ",
         "$OTHER $L -i in.pgm -o st/out.list --in-place", 0, "",
         "cmp st/out.list ref.list && test \"$(ls -A st)\" = out.list"},
        {"a bind-mounted target", "root", "echo old > bm.list; echo old > target.list; ",
         "unshare -m sh -c \"mount --bind target.list bm.list && exec $L -i in.pgm -o bm.list\"", 255,
         "ERROR, can't open file \"bm.list\" for \"w\": it is a mount point of its own, apart from its directory ., so "
         "it cannot be replaced whole; --in-place",
         "test \"$(cat target.list)\" = old"},
        {"--in-place through a bind mount", "root", "echo old > bm.list; echo old > target.list; ",
         "unshare -m sh -c \"mount --bind target.list bm.list && exec $L -i in.pgm -o bm.list --in-place\"", 0, "",
         "cmp target.list ref.list"},
        {"a full file system keeps the old file", "root", "mkdir m; ",
         "unshare -m sh -c \"mount -t tmpfs -o size=64k none m && echo old > m/out.list && $L -i in.pgm -o "
         "m/out.list; s=\\$?; cat m/out.list > kept.txt; ls -A m > left.txt; exit \\$s\"",
         255, "ERROR, can't write file \"m/out.list\": No space left on device",
         "test \"$(cat kept.txt)\" = old && test \"$(cat left.txt)\" = out.list"},
        {"a full inode table is refused", "root", "mkdir m; ",
         "unshare -m sh -c \"mount -t tmpfs -o nr_inodes=2 none m && echo old > m/out.list && $L -i in.pgm -o "
         "m/out.list; s=\\$?; cp m/out.list kept.txt; exit \\$s\"",
         255,
         "ERROR, can't open file \"m/out.list\" for \"w\": no new file can be made in its directory m (No space left "
         "on device), so it cannot be replaced whole",
         "test \"$(cat kept.txt)\" = old"},
        {"--in-place with a full inode table", "root", "mkdir m; ",
         "unshare -m sh -c \"mount -t tmpfs -o nr_inodes=2 none m && echo old > m/out.list && $L -i in.pgm -o "
         "m/out.list --in-place; s=\\$?; cp m/out.list written.list; exit \\$s\"",
         0, "", "cmp written.list ref.list"},
        {"--in-place on a full file system: nothing is written", "root", "mkdir m; ",
         "unshare -m sh -c \"mount -t tmpfs -o size=64k,nr_inodes=2 none m && echo old > m/out.list && $L -i in.pgm "
         "-o m/out.list --in-place; s=\\$?; cat m/out.list > kept.txt; exit \\$s\"",
         255,
         "ERROR, can't write file \"m/out.list\": no room could be reserved for the new content: nothing was "
         "written: No space left on device",
         "test \"$(cat kept.txt)\" = old"},
        // Several names: a new file would leave the others with the old content.
        {"a file of two names is refused", "", OLD + "ln out.list other.list; ", "$L -i in.pgm -o out.list", 255,
         "ERROR, can't open file \"out.list\" for \"w\": it has 2 names (hard links), which a new file in its place "
         "would leave with the old content, so it cannot be replaced whole; --in-place",
         "test \"$(cat out.list)\" = precious && test \"$(cat other.list)\" = precious"},
        {"--in-place writes both names", "", OLD + "ln out.list other.list; ", "$L -i in.pgm -o out.list --in-place",
         0, "", "cmp out.list ref.list && cmp other.list ref.list"},
        // The replaced file keeps its owner and group, as sed -i and install do.
        {"another user's file keeps its owner and group", "root",
         "echo x > own.list; chown 65534:65534 own.list; chmod 640 own.list; ", "$L -i in.pgm -o own.list", 0, "",
         "test \"$(stat -c %u:%g:%a own.list)\" = 65534:65534:640 && cmp own.list ref.list"},
        {"linpaint keeps them too", "root",
         "echo x > own.pgm; chown 65534:65534 own.pgm; $P -i in.list -r 9 -c 9 -o made.pgm; ",
         "$P -i in.list -r 9 -c 9 -o own.pgm", 0, "",
         "test \"$(stat -c %u:%g own.pgm)\" = 65534:65534 && cmp <(tail -c 81 own.pgm) <(tail -c 81 made.pgm)"},
        {"set-ID bits kept with their owner", "root", "echo x > su.list; chown 65534 su.list; chmod 6755 su.list; ",
         "$L -i in.pgm -o su.list", 0, "",
         "test -u su.list && test -g su.list && test \"$(stat -c %u su.list)\" = 65534 && cmp su.list ref.list"},
        {"set-ID bits never pass to a new owner", "root", "echo x > su.list; chmod 6777 su.list; ",
         "$OTHER $L -i in.pgm -o su.list", 0, "",
         "test \"$(stat -c %u su.list)\" = 65534 && test ! -u su.list && test ! -g su.list && cmp su.list ref.list"},
        {"a new file takes the umask", "", "", "umask 027; $L -i in.pgm -o new.list", 0, "",
         "test \"$(stat -c %a new.list)\" = 640"},
        {"a size limit on standard output (lintrace)", "", "", "ulimit -f 8; $L -i in.pgm -o - > o.list", 255,
         "ERROR, can't write file \"-\": File too large", "true"},
        {"a size limit on standard output (linpaint)", "", "", "ulimit -f 8; $P -i in.list -r 99 -c 99 -o - > o.pgm",
         1, "Program encounters run-time error...\nOutput file write failed: -: File too large", "true"},
        {"an endless stream without white space", "", "", "$P -i /dev/zero -r 9 -c 9 -o out.pgm", 1,
         "The edge list /dev/zero is corrupt: a token of more than 255 characters ... exit!", ONLY + "''"},
        {"a pipe that never ends its first token", "", "mkfifo ff; ",
         "{ head -c 300 /dev/zero | tr '\\0' 7; sleep 30; } > ff 2>/dev/null & "
         "$P -i ff -r 9 -c 9 -o out.pgm; s=$?; kill $! 2>/dev/null; exit $s",
         1, "The edge list ff is corrupt: a token of more than 255 characters ... exit!", "test ! -e out.pgm"},
        {"an endless edge in constant memory", "limit", "printf '3 4\\n-1 -1\\n' > one.list; $P -i one.list -r 9 -c 9 -l 1 -o one.pgm; ",
         "{ yes '3 4' | head -n 20000000; echo -1 -1; } | (ulimit -v 60000; exec $P -i - -r 9 -c 9 -o e.pgm)", 0, "",
         "cmp <(tail -c 81 e.pgm) <(tail -c 81 one.pgm)"},
        {"an image of 2147483647 rows of one column", "limit", "",
         "ulimit -v 4000000; $P -i in.list -r 2147483647 -c 1 -o out.pgm", 1,
         "ERROR:  an image of 2147483647 rows and 1 columns does not fit in memory.", ONLY + "''"},
        {"every terminating signal leaves the old file and nothing else", "", BIG_IMAGE + OLD,
         "for s in QUIT USR1 USR2 ALRM VTALRM PROF XCPU TERM INT KILL; do $L -i big.pgm -o out.list & sleep 0.3; "
         "kill -$s $!; wait $!; test \"$(cat out.list)\" = precious || test \"$(tail -n 1 out.list)\" = '-1 -1' || "
         "exit 1; " + OLD + "done",
         0, "", ONLY + "'out.list '"},
        {"an ignored hang-up stays ignored", "", BIG_IMAGE,
         "trap '' HUP; $L -i big.pgm -o out.list & sleep 0.3; kill -HUP $!; wait $!", 0, "",
         "test \"$(tail -n 1 out.list)\" = '-1 -1'"},
        {"control characters in linpaint's output name", "", "",
         "$P -i in.list -r 9 -c 9 -o \"$(printf 'a\\nb\\x7f.pgm')\" && $L -i \"$(printf 'a\\nb\\x7f.pgm')\" -o back.list",
         0, "", "sed -n 2p \"$(printf 'a\\nb\\x7f.pgm')\" | grep -qxF '# a\\x0ab\\x7f.pgm'"},
        {"an output name longer than a header line", "", "mkdir -p $(printf '%0200d' 0); ",
         "$P -i in.list -r 9 -c 9 -o $(printf '%0200d' 0)/$(printf '%0100d' 0).pgm && "
         "cp $(printf '%0200d' 0)/*.pgm back.pgm && $L -i back.pgm -o back.list",
         0, "", "test $(sed -n 2p $(printf '%0200d' 0)/*.pgm | wc -c) -eq 254"},
    };
}

}  // namespace

TEST(BadInput, HostileEnvironmentsNeverLoseAFile)
{
    const bool root = geteuid() == 0;
    for (const Hostile& c : hostile_cases()) {
        if (c.needs == "root" && !root) {
            std::cout << "[ SKIPPED  ] " << c.what << ": needs root (another user's files, mounts)\n";
            continue;
        }
#ifdef LINTRACE_SANITIZED
        if (c.needs == "limit") {
            std::cout << "[ SKIPPED  ] " << c.what << ": the sanitizers reserve more address space than the limit\n";
            continue;
        }
#endif
        const std::string directory = scratch_directory();
        chmod(directory.c_str(), 0777);  // another user works in it too
        write_file_bytes(directory + "/in.pgm", read_file(DATA_DIR + "/camera.pgm"));
        write_file_bytes(directory + "/in.list", "1 1 2 2 3 3 4 4 5 5 -1 -1\n");
        const std::string prefix = "cd '" + directory + "' && L='" + LINTRACE + "' && P='" + LINPAINT + "' && OTHER='" +
                                   (root ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "") +
                                   "' && $L -i in.pgm -o ref.list && " + c.setup;
        const ProgramRun run = run_program({"/bin/bash", "-c", prefix + "\n" + c.command});
        if (c.status >= 0) {
            EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
        }
        EXPECT_EQ(run.err.substr(0, c.message.size()), c.message) << c.what;
        const ProgramRun after = run_program({"/bin/bash", "-c", "cd '" + directory + "' && " + c.after});
        EXPECT_EQ(after.status, 0) << c.what << ": not what must be on disk";
    }
}
