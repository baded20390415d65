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

#include <vector>

#include "driver.h"
#include "imgformat.h"
#include "outfile.h"

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

    auto start = std::chrono::steady_clock::now();
    PgmImage* image = read_pgm_file(argv[1]);
    if (image == nullptr) return 1;
    const double read = seconds_since(start);
    const int64_t columns = image->columns;
    const int64_t rows = image->rows;
    std::vector<const void*> row_pointers(static_cast<size_t>(rows));
    for (int64_t r = 0; r < rows; ++r) row_pointers[r] = image->pixels[r];
    lintrace::ImageView view;
    view.width = columns;
    view.height = rows;
    view.row_pointers = row_pointers.data();
    const lintrace::Settings settings{sigma, low, high, sub_pixel, threads};

    // The entry point's own run, timed at the ends of its stages.
    start = std::chrono::steady_clock::now();
    double suppression = 0;
    double linking = 0;
    long peak_suppression = 0;
    long peak_linking = 0;
    const auto after_stage = [&](const char* stage) {
        const double t = seconds_since(start);
        if (std::string(stage) == lintrace::detail::SAMPLES_READ) {
            free_pgm_data(image);
            image = nullptr;
        } else if (std::string(stage) == "suppression") {
            suppression = t;
            peak_suppression = peak_bytes();
        } else if (std::string(stage) == "linking") {
            linking = t - suppression;
            peak_linking = peak_bytes();
        }
    };
    lintrace::Edges edges = lintrace::detail::trace(view, settings, Schedule{}, after_stage);

    start = std::chrono::steady_clock::now();
    OutputFile out;
    if (!out.open(argv[7])) return 1;
    edges.write_list([&out](std::string_view text) { out.write(text.data(), text.size()); });
    if (!out.commit()) return 1;
    const double writing = seconds_since(start);

    const double megapixels = static_cast<double>(columns) * rows / 1e6;
    const double pixels = static_cast<double>(columns) * rows;
    std::printf(
        "%.2f %.2f %.2f %.2f %.2f  peak B/px after suppression %.2f linking %.2f writing %.2f  edges %zu\n",
        1000 * read / megapixels, 1000 * suppression / megapixels, 1000 * linking / megapixels,
        1000 * writing / megapixels, 1000 * (read + suppression + linking + writing) / megapixels,
        peak_suppression / pixels, peak_linking / pixels, peak_bytes() / pixels, edges.size());
    return 0;
}
