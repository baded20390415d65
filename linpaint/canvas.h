// The image linpaint draws on: all black at first, white where the points of
// long enough edges fall, and its writing as a raw PGM file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "edge_list.h"
#include "imgformat.h"

class OutputFile;

// The bytes an image of rows x columns costs as it is held (each row a block
// of its own, with the allocator's header and rounding, and its pointer), with
// what the painting of an edge may hold besides; the largest 64-bit value when
// that does not fit 64 bits.
uint64_t image_cost(int rows, int columns);
// False when image_cost is more than the memory the process may have: the
// machine's, its control group's limit, its address-space and data limits.
bool image_fits_in_memory(int rows, int columns);
// A raw PGM image of rows x columns black pixels, maximum value 255.
PgmImage* black_image(int rows, int columns);
// Sets the pixel under the point to 255: the pixel is found by truncation
// toward zero, and a point whose pixel is outside the image (or that is not
// finite) is skipped.
void paint_point(PgmImage* image, const EdgePoint& point);

// Paints edges as their points arrive, so that an edge costs no memory for
// its length. Whether an edge is drawn is known only at its end (its count
// against the minimum length, or the input ending before its closing pair),
// so its points first mark the black pixels they fall on as pending; the end
// of the edge turns its pending pixels white or back to black. The pending
// pixels are remembered up to a fixed number; past it, the rectangle around
// the rest is searched for them instead.
class EdgePainter {
public:
    EdgePainter(PgmImage* image, int64_t length);
    void add(const EdgePoint& point);
    // The closing pair was read: drawn when it has at least `length` points, and one.
    void close();
    // The input ended inside the edge: nothing of it stays.
    void drop();

private:
    void settle(bool drawn);

    PgmImage* image_;
    int64_t length_;
    int64_t count_ = 0;
    struct Pixel {
        int32_t row, column;
    };
    std::vector<Pixel> pending_;
    bool overflowed_ = false;
    int32_t top_ = 0, bottom_ = 0, left_ = 0, right_ = 0;  // around the pending pixels not listed
};

// The header comment of an image written to `path`: the path with its control
// characters written as \xHH escapes, cut (never inside an escape or a UTF-8
// character) so that the comment line fits the 254 bytes a reader of these
// headers takes at a time.
std::string header_comment(const char* path);
// Writes the header and the raster; the caller commits.
void write_image(OutputFile* out, const char* path, const PgmImage* image);
