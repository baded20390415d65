// linpaint: redraws the edges of a connectivity list as a raw PGM image.
//
// Reads the list one edge at a time, keeps every edge of at least `length`
// points, sets the pixel under each of its points to 255 in an image that
// starts all black, and writes the image. Points outside the image are
// skipped. Nothing is written when the list cannot be read to its end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "args.h"
#include "canvas.h"
#include "edge_list.h"
#include "imgformat.h"
#include "memory.h"
#include "pngwrite.h"
#include "settings.h"

std::vector<EdgePoint> edge_list;  // the points of the edge just read; grows with the longest edge

namespace {

[[noreturn]] void switch_error(char** argv, const char* format, int value)
{
    std::fprintf(stderr, format, value);
    args_usage(argv, args);
    std::exit(-1);
}

}  // namespace

int main(int argc, char** argv)
{
    fail_stop_on_exhausted_heap();
    args_program_version = "linpaint 1.0.0";
    args_parse(argc, argv, args);
    if (row <= 0) switch_error(argv, "ERROR:  -r must be a positive number of rows, not %d.\n", row);
    if (col <= 0) switch_error(argv, "ERROR:  -c must be a positive number of columns, not %d.\n", col);

    EdgeListFile list;
    if (!open_edge_list(&list, infile)) {
        std::fprintf(stderr, "Fail to open input file %s ... exit!\n", infile);
        std::exit(-1);
    }
    // The image is held whole in memory: one that the machine cannot hold is
    // refused before anything is allocated for it.
    if (!image_fits_in_memory(row, col)) {
        std::fprintf(stderr, "ERROR:  an image of %d rows and %d columns does not fit in memory.\n", row, col);
        std::exit(1);
    }
    PgmImage* image = black_image(row, col);

    for (;;) {
        const EdgeRead read = read_one_edge(&list, &edge_list);
        if (read == EDGE_CORRUPT) std::exit(1);
        if (read == EDGE_END_OF_INPUT) break;
        const int64_t edge_pt_count = static_cast<int64_t>(edge_list.size());
        if (edge_pt_count >= length && edge_pt_count > 0)
            for (const EdgePoint& point : edge_list) paint_point(image, point);
    }
    close_edge_list(&list);
    if (names_png(outfile))
        write_png_file(outfile, image);
    else
        write_pgm_file(outfile, image);
    free_pgm_data(image);
    return 0;
}
