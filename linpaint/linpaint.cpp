// linpaint: redraws the edges of a connectivity list as a raw PGM image (a
// PNG where the output's name ends in .png), or over the photograph they were
// traced on (--over IMAGE), as an RGB picture.
//
// Reads the list one pair at a time, paints every edge of at least `length`
// points as its points arrive (see EdgePainter), setting the pixel under each
// point to 255 in an image that starts all black, and writes the image. Points
// outside the image are skipped. The output is made ready before the list is
// read and nothing is put in its place when the list cannot be read to its end.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "canvas.h"
#include "edge_list.h"
#include "imgformat.h"
#include "lintrace/image.h"
#include "memory.h"
#include "outfile.h"
#include "overlay.h"
#include "pngout.h"
#include "settings.h"

namespace {

// The value is quoted as it was typed.
[[noreturn]] void switch_error(char** argv, const char* format, const char* name)
{
    const char* typed = args_typed_value(args, name);
    std::fprintf(stderr, format, typed != nullptr ? typed : "");
    args_usage(argv, args);
    std::exit(-1);
}

[[noreturn]] void output_failed(const char* what, const OutputFile& out)
{
    const std::string message = std::string(what) + ": " + outfile + ": " + out.reason();
    errmsg(message.c_str());
}

OutputFile image_file;

constexpr const char* LONG_OPTIONS_HELP =
    "long options:\n"
    "\t[--over <string>]\n"
    "\t[--in-place]\n"
    "\t[--max-pixels <int>]\n"
    "where:\t\"over\" the image the list was traced on (any format lintrace reads): the edges are drawn in "
    "yellow over it dimmed to grey, as an RGB picture (PNG for a .png output, else PPM); -r and -c may then be "
    "left out\n"
    "\t\"in-place\" where the output cannot be replaced whole (a directory that may not be written, a file of "
    "several names), write over the file itself instead of refusing it: a run stopped while it writes leaves the "
    "file partly written\n"
    "\t\"max-pixels\" refuse an --over image that claims more pixels than this, before reading its samples "
    "(for images from untrusted sources; default: no limit but memory)\n";

struct LongOptions {
    const char* over = nullptr;  // --over IMAGE; null when not given
    bool in_place = false;
    uint64_t max_pixels = 0;  // 0: no limit
};

[[noreturn]] void long_option_error(char** argv, const std::string& message)
{
    std::fputs(message.c_str(), stderr);
    args_usage(argv, args);
    std::exit(-1);
}

// Takes --over IMAGE (or --over=IMAGE), --in-place and --max-pixels N out of
// the arguments where a switch may stand, so that the switch table reads the
// rest as it always has.
std::vector<char*> take_long_options(int argc, char** argv, LongOptions* options)
{
    std::vector<char*> kept{argv[0]};
    bool in_place_seen = false, max_pixels_seen = false;
    int position = 1;
    for (; position < argc; ++position) {
        const char* argument = argv[position];
        if (args_keep_switch(args, argc, argv, &position, &kept)) continue;
        if (std::strcmp(argument, "--in-place") == 0) {
            if (in_place_seen) long_option_error(argv, "ERROR:  --in-place is given more than once.\n");
            in_place_seen = options->in_place = true;
            continue;
        }
        if (std::strncmp(argument, "--in-place=", 11) == 0)
            long_option_error(argv, "ERROR:  --in-place takes no value.\n");
        const bool pixels_attached = std::strncmp(argument, "--max-pixels=", 13) == 0;
        if (pixels_attached || std::strcmp(argument, "--max-pixels") == 0) {
            if (max_pixels_seen) long_option_error(argv, "ERROR:  --max-pixels is given more than once.\n");
            max_pixels_seen = true;
            if (!pixels_attached && position + 1 >= argc)
                long_option_error(argv, "ERROR:  --max-pixels needs a number of pixels.\n");
            const char* value = pixels_attached ? argument + 13 : argv[++position];
            char* end = nullptr;
            const double n = value[0] != '\0' ? std::strtod(value, &end) : 0;
            // Up to 2^53, the whole numbers a double holds exactly.
            if (end == nullptr || *end != '\0' || !(n >= 1 && n <= 9007199254740992.0) || n != std::floor(n))
                long_option_error(argv, std::string("ERROR:  --max-pixels takes a whole number of pixels from 1 up, "
                                                    "not '") +
                                            value + "'.\n");
            options->max_pixels = static_cast<uint64_t>(n);
            continue;
        }
        const bool attached = std::strncmp(argument, "--over=", 7) == 0;
        if (!attached && std::strcmp(argument, "--over") != 0) break;
        if (options->over != nullptr) {
            std::fprintf(stderr, "ERROR:  --over is given more than once.\n");
            args_usage(argv, args);
            std::exit(-1);
        }
        if (!attached && position + 1 >= argc) {
            std::fprintf(stderr, "ERROR:  --over needs the name of an image.\n");
            args_usage(argv, args);
            std::exit(-1);
        }
        options->over = attached ? argument + 7 : argv[++position];
    }
    for (; position < argc; ++position) kept.push_back(argv[position]);
    kept.push_back(nullptr);
    return kept;
}

// The photograph of --over, or the end of the run with the reader's message.
lintrace::Image read_photograph(const char* path, uint64_t max_pixels)
{
    try {
        lintrace::ReadOptions reading;
        reading.mapping_guard = guard_mapped_input;
        reading.max_pixels = max_pixels;
        return lintrace::read_image(path, reading);
    } catch (const lintrace::ImageNotFound& failure) {
        errmsg(failure.what());
    } catch (const lintrace::ImageError& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    fail_stop_on_exhausted_heap();
    args_program_version = "linpaint 1.0.0";
    args_help_epilogue = LONG_OPTIONS_HELP;
    LongOptions options;
    std::vector<char*> arguments = take_long_options(argc, argv, &options);
    const char* over = options.over;
    // Over a photograph, the image's size is the photograph's unless given.
    if (over != nullptr)
        for (SwitchEntry* entry = args; entry->name != nullptr; ++entry)
            if (std::strcmp(entry->name, "r") == 0 || std::strcmp(entry->name, "c") == 0) entry->mandatory = 0;
    args_parse(static_cast<int>(arguments.size()) - 1, arguments.data(), args);
    const bool rows_given = args_found_arg(args, "r") != 0;
    const bool columns_given = args_found_arg(args, "c") != 0;
    if (rows_given && row <= 0) switch_error(argv, "ERROR:  -r must be a positive number of rows, not %s.\n", "r");
    if (columns_given && col <= 0)
        switch_error(argv, "ERROR:  -c must be a positive number of columns, not %s.\n", "c");

    EdgeListFile list;
    if (!open_edge_list(&list, infile)) {
        std::fprintf(stderr, "Fail to open input file %s: %s ... exit!\n", infile, std::strerror(errno));
        std::exit(-1);
    }
    lintrace::Image photograph;
    if (over != nullptr) {
        photograph = read_photograph(over, options.max_pixels);
        if ((rows_given && row != photograph.height) || (columns_given && col != photograph.width)) {
            std::fprintf(stderr, "ERROR:  %s is %lld x %lld pixels, not the %d x %d that -c and -r give.\n", over,
                         static_cast<long long>(photograph.width), static_cast<long long>(photograph.height),
                         columns_given ? col : static_cast<int>(photograph.width),
                         rows_given ? row : static_cast<int>(photograph.height));
            std::exit(1);
        }
        row = static_cast<int>(photograph.height);
        col = static_cast<int>(photograph.width);
    }
    // Before the list is read: an output that cannot be made, or that is the
    // list itself, is refused at once.
    if (!image_file.open(outfile, infile, options.in_place)) output_failed("Output file open failed", image_file);
    // The image is held whole in memory: one that the process cannot hold is
    // refused before anything is allocated for it.
    if (!image_fits_in_memory(row, col)) {
        std::fprintf(stderr, "ERROR:  an image of %d rows and %d columns does not fit in memory.\n", row, col);
        image_file.discard();
        std::exit(1);
    }
    PgmImage* image = black_image(row, col);

    EdgePainter painter(image, length);
    for (bool reading = true; reading;) {
        EdgePoint point;
        switch (read_pair(&list, &point)) {
            case PAIR_POINT:
                painter.add(point);
                break;
            case PAIR_CLOSES_EDGE:
                painter.close();
                break;
            case PAIR_END_OF_INPUT:
                painter.drop();
                reading = false;
                break;
            case PAIR_CORRUPT:
                image_file.discard();
                std::exit(1);
        }
    }
    close_edge_list(&list);
    std::string refused;
    bool written = true;
    if (over != nullptr)
        written = write_rgb_picture(&image_file, outfile, overlay_edges(photograph, *image), &refused);
    else if (names_png(outfile))
        written = write_png(&image_file, image, &refused);
    else
        write_image(&image_file, outfile, image);
    if (!written) {
        image_file.discard();
        errmsg(("Output file write failed: " + std::string(outfile) + ": " + refused).c_str());
    }
    if (!image_file.commit()) output_failed("Output file write failed", image_file);
    free_pgm_data(image);
    return 0;
}
