// linpaint: redraws the edges of a connectivity list as a raw PGM image.
//
// Reads the list one edge at a time, keeps every edge of at least `length`
// points, sets the pixel under each of its points to 255 in an image that
// starts all black, and writes the image. Points outside the image are
// skipped. Nothing is written when the list cannot be read to its end.
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "args.h"
#include "edge_list.h"
#include "imgformat.h"
#include "memory.h"

char infile[1024];
int row;
int col;
int length = 5;
char outfile[1024];
std::vector<EdgePoint> edge_list;  // the points of the edge just read; grows with the longest edge

namespace {

SwitchEntry args[] = {
    {"i", 1, STRING, 1024, infile, 0, "the name of the edge list file for input"},
    {"r", 1, INT, 1, &row, 0, "the rows of the output image"},
    {"c", 1, INT, 1, &col, 0, "the columns of the output image"},
    {"l", 0, INT, 1, &length, 0, "the minimum length of edges (default 5)"},
    {"o", 1, STRING, 1024, outfile, 0, "the name of the file to store the output edge image (PGM format)"},
    {nullptr, 0, 0, 0, nullptr, 0, nullptr},
};

[[noreturn]] void switch_error(char** argv, const char* format, int value)
{
    std::fprintf(stderr, format, value);
    args_usage(argv, args);
    std::exit(-1);
}

// The image is held whole in memory: refuse one that the machine cannot hold
// before allocating row after row of it.
void check_image_size()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    const unsigned long long bytes = static_cast<unsigned long long>(row) * static_cast<unsigned long long>(col);
    if (pages > 0 && page_size > 0 &&
        bytes > static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size)) {
        std::fprintf(stderr, "ERROR:  an image of %d rows and %d columns does not fit in memory.\n", row, col);
        std::exit(1);
    }
}

PgmImage* black_image()
{
    PgmImage* image = static_cast<PgmImage*>(checked_calloc(1, sizeof(PgmImage)));
    std::memcpy(image->magic, "P5", 3);
    image->columns = col;
    image->rows = row;
    image->max_value = 255;
    image->pixels = ucmatrix(row, col);
    for (int r = 0; r < row; ++r) std::memset(image->pixels[r], 0, static_cast<size_t>(col));
    return image;
}

// The pixel under a point is found by truncation toward zero; a point whose
// pixel is outside the image (or that is not finite) is skipped.
void paint(PgmImage* image, const EdgePoint& point)
{
    if (!(point.x > -1.0f && point.x < 2147483648.0f && point.y > -1.0f && point.y < 2147483648.0f)) return;
    const int64_t x = static_cast<int64_t>(point.x);
    const int64_t y = static_cast<int64_t>(point.y);
    if (x >= col || y >= row) return;
    image->pixels[y][x] = 255;
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
    check_image_size();
    PgmImage* image = black_image();

    for (;;) {
        const EdgeRead read = read_one_edge(&list, &edge_list);
        if (read == EDGE_CORRUPT) std::exit(1);
        if (read == EDGE_END_OF_INPUT) break;
        const int64_t edge_pt_count = static_cast<int64_t>(edge_list.size());
        if (edge_pt_count >= length && edge_pt_count > 0)
            for (const EdgePoint& point : edge_list) paint(image, point);
    }
    close_edge_list(&list);
    write_pgm_file(outfile, image);
    free_pgm_data(image);
    return 0;
}
