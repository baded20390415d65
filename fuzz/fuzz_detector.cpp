// Fuzzing the whole detector against its literal twin: the first bytes choose
// the image size, sigma, the thresholds, the output mode and the number of
// threads, the rest are the grey values. The product's connectivity list must
// be the twin's, byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "literal/literal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) return 0;
    const int columns = 1 + data[0] % 40;
    const int rows = 1 + data[1] % 40;
    const double sigma = static_cast<float>(0.25 + data[2] / 50.0);
    const float low = static_cast<float>(data[3]) / 16.0f;
    const float high = low + static_cast<float>(data[4]) / 16.0f;
    const bool sub_pixel = (data[5] & 1) != 0;
    const int threads = 1 + (data[5] >> 1) % 3;
    const int lanes = 1 << (data[5] >> 3) % 4;
    std::vector<unsigned char> image(static_cast<size_t>(columns) * rows);
    for (size_t k = 0; k < image.size(); ++k) image[k] = size > 6 ? data[6 + k % (size - 6)] : 0;

    const lintrace::Settings settings{sigma, static_cast<double>(low), static_cast<double>(high), sub_pixel, threads};
    const std::string text =
        lintrace::detail::trace(lintrace::ImageView::grey8(image.data(), columns, rows), settings, Schedule{16, 8, 2, lanes})
            .list_text();

    const std::string expected = literal::run(image, columns, rows, sigma, low, high, sub_pixel);
    if (text != expected) {
        std::fprintf(stderr, "lists differ on a %dx%d image, sigma %g, thresholds %g/%g\n", columns, rows, sigma,
                     static_cast<double>(low), static_cast<double>(high));
        std::abort();
    }
    return 0;
}
