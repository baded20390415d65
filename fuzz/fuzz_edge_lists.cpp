// Fuzzing the connectivity-list reader and the painting of its points: any
// bytes as a list, painted on a small image. Nothing may crash or hang, and
// the memory held grows only with the longest edge actually read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "canvas.h"
#include "edge_list.h"
#include "imgformat.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratch_file(data, size);

    EdgeListFile list;
    if (!open_edge_list(&list, path.c_str())) std::abort();
    PgmImage* image = black_image(17, 23);
    std::vector<EdgePoint> points;
    size_t total = 0;
    EdgeRead read;
    while ((read = read_one_edge(&list, &points)) == EDGE_CLOSED) {
        total += points.size();
        for (const EdgePoint& point : points) paint_point(image, point);
    }
    if (total > size / 2) std::abort();  // a point takes at least two bytes of the list
    close_edge_list(&list);
    free_pgm_data(image);
    return 0;
}
