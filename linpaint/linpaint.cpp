// linpaint: redraws the edges of a connectivity list as a raw PGM image.
//
// Reads the list one pair at a time, paints every edge of at least `length`
// points as its points arrive (see EdgePainter), setting the pixel under each
// point to 255 in an image that starts all black, and writes the image. Points
// outside the image are skipped. The output is made ready before the list is
// read and nothing is put in its place when the list cannot be read to its end.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "canvas.h"
#include "edge_list.h"
#include "imgformat.h"
#include "memory.h"
#include "outfile.h"
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

}  // namespace

int main(int argc, char** argv)
{
    fail_stop_on_exhausted_heap();
    args_program_version = "linpaint 1.0.0";
    args_parse(argc, argv, args);
    if (row <= 0) switch_error(argv, "ERROR:  -r must be a positive number of rows, not %s.\n", "r");
    if (col <= 0) switch_error(argv, "ERROR:  -c must be a positive number of columns, not %s.\n", "c");

    EdgeListFile list;
    if (!open_edge_list(&list, infile)) {
        std::fprintf(stderr, "Fail to open input file %s: %s ... exit!\n", infile, std::strerror(errno));
        std::exit(-1);
    }
    // Before the list is read: an output that cannot be made, or that is the
    // list itself, is refused at once.
    if (!image_file.open(outfile, infile)) output_failed("Output file open failed", image_file);
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
    write_image(&image_file, outfile, image);
    if (!image_file.commit()) output_failed("Output file write failed", image_file);
    free_pgm_data(image);
    return 0;
}
