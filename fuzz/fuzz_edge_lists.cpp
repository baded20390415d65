// Fuzzing the connectivity-list reader and the painting of its points: any
// bytes as a list, painted on a small image. Nothing may crash or hang, and
// the memory held grows only with the longest edge actually read. The image
// painted as the points arrive (linpaint's way) must be the one painted from
// whole edges, with every pixel black or white.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "canvas.h"
#include "edge_list.h"
#include "imgformat.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratch_file(data, size);
    const int64_t length = size > 0 ? data[0] % 8 : 5;

    EdgeListFile list;
    if (!open_edge_list(&list, path.c_str())) std::abort();
    PgmImage* image = black_image(17, 23);
    std::vector<EdgePoint> points;
    size_t total = 0;
    EdgeRead read;
    while ((read = read_one_edge(&list, &points)) == EDGE_CLOSED) {
        total += points.size();
        if (static_cast<int64_t>(points.size()) >= length && !points.empty())
            for (const EdgePoint& point : points) paint_point(image, point);
    }
    if (total > size / 2) std::abort();  // a point takes at least two bytes of the list
    close_edge_list(&list);

    if (!open_edge_list(&list, path.c_str())) std::abort();
    PgmImage* streamed = black_image(17, 23);
    EdgePainter painter(streamed, length);
    EdgePoint point;
    PairRead pair;
    while ((pair = read_pair(&list, &point)) == PAIR_POINT || pair == PAIR_CLOSES_EDGE)
        pair == PAIR_POINT ? painter.add(point) : painter.close();
    if (read == EDGE_END_OF_INPUT) {
        if (pair != PAIR_END_OF_INPUT) std::abort();
        painter.drop();
        for (int r = 0; r < image->rows; ++r)
            if (std::memcmp(image->pixels[r], streamed->pixels[r], static_cast<size_t>(image->columns)) != 0)
                std::abort();
    }
    close_edge_list(&list);
    free_pgm_data(streamed);
    free_pgm_data(image);
    return 0;
}
