// Times each stage of lintrace on one image, in-process, and prints one line:
//   read gradient+suppression linking writing total (milliseconds per megapixel)
// followed by the counts that explain them.
//
// usage: stages IMAGE SIGMA LOW HIGH SUB_PIXEL(0|1) THREADS OUTPUT
#include <sys/resource.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "detector.h"
#include "imgformat.h"

namespace {

// The peak resident memory of the process so far, in bytes.
long peak_bytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss * 1024L;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s IMAGE SIGMA LOW HIGH SUB_PIXEL THREADS OUTPUT\n", argv[0]);
        return 2;
    }
    const double sigma = static_cast<float>(std::atof(argv[2]));
    const float low = static_cast<float>(std::atof(argv[3]));
    const float high = static_cast<float>(std::atof(argv[4]));
    const bool sub_pixel = std::atoi(argv[5]) != 0;
    const int threads = std::atoi(argv[6]);
    int mask = 0;
    if (!mask_for_sigma(sigma, &mask)) return 2;

    auto start = std::chrono::steady_clock::now();
    PgmImage* image = read_pgm_file(argv[1]);
    if (image == nullptr) return 1;
    const double read = seconds_since(start);

    Detector detector;
    detector.XSIZE = image->columns;
    detector.YSIZE = image->rows;
    detector.keep_edgel_records = false;
    start = std::chrono::steady_clock::now();
    local_extrema(&detector, image->pixels, mask, sigma, low, high, sub_pixel, threads);
    const double suppression = seconds_since(start);
    const long peak_suppression = peak_bytes();
    free_pgm_data(image);
    release_edgel_records(&detector.edgels);

    start = std::chrono::steady_clock::now();
    join_edges(&detector, threads);
    const double linking = seconds_since(start);
    const long peak_linking = peak_bytes();

    start = std::chrono::steady_clock::now();
    write_file(&detector, argv[7], sub_pixel, threads);
    const double writing = seconds_since(start);

    const double megapixels = static_cast<double>(detector.XSIZE) * detector.YSIZE / 1e6;
    const double pixels = static_cast<double>(detector.XSIZE) * detector.YSIZE;
    size_t junctions = 0;
    size_t points = 0;
    for (const Links& part : detector.links) {
        junctions += part.junctions.size();
        points += part.edge_points.size();
    }
    std::printf(
        "%.2f %.2f %.2f %.2f %.2f  peak B/px after suppression %.2f linking %.2f writing %.2f"
        "  candidates %zu junctions %zu edges %zu points %zu\n",
        1000 * read / megapixels, 1000 * suppression / megapixels, 1000 * linking / megapixels,
        1000 * writing / megapixels, 1000 * (read + suppression + linking + writing) / megapixels,
        peak_suppression / pixels, peak_linking / pixels, peak_bytes() / pixels,
        static_cast<size_t>(detector.edgels.records_total), junctions, detector.edges.size(), points);
    return 0;
}
