// Fuzzing the image readers: any bytes, read as a raw PGM and PPM file and
// through the decoders of every format (netpbm, PNG, JPEG, TIFF), both from
// memory and from a file (the path a mapped raw PGM takes). A file that
// reads must have the size its header claims and samples within its maximum
// value; a file that does not must be refused with a message naming it.
// Nothing may crash, hang, print or allocate beyond the limit given.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lintrace/image.h"
#include "imgformat.h"
#include "scratch_file.h"

namespace {

// Far below libFuzzer's own limit on a single allocation.
constexpr double MEMORY_LIMIT = 256.0 * 1024 * 1024;

void check(const lintrace::Image& image)
{
    if (image.width <= 0 || image.height <= 0 || image.channels < 1 || image.channels > 4) std::abort();
    if (image.row_stride < image.width * image.channels) std::abort();
    for (int64_t y = 0; y < image.height; ++y)
        for (int64_t x = 0; x < image.width; ++x)
            for (int k = 0; k < image.channels; ++k) {
                const double v = image.sample(x, y, k);
                if (image.type != lintrace::SampleType::DOUBLE && (v < 0 || v > image.max_value)) std::abort();
                if (!std::isfinite(v)) std::abort();
            }
}

void decode(const std::string& name, const uint8_t* data, size_t size, bool from_file)
{
    try {
        check(from_file ? lintrace::read_image(name, {MEMORY_LIMIT, guard_mapped_input}) : lintrace::read_image_bytes(data, size, name, {MEMORY_LIMIT, {}}));
    } catch (const lintrace::ImageError& e) {
        if (std::strstr(e.what(), name.c_str()) == nullptr) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratch_file(data, size);

    if (PgmImage* grey = read_pgm_file(path.c_str())) {
        if (grey->columns <= 0 || grey->rows <= 0 || static_cast<size_t>(grey->columns) * grey->rows > size)
            std::abort();
        unsigned sum = 0;
        for (int r = 0; r < grey->rows; ++r)
            for (int c = 0; c < grey->columns; ++c) sum += grey->pixels[r][c];
        (void)sum;
        free_pgm_data(grey);
    }
    if (PpmImage* colour = read_ppm_file(path.c_str())) {
        if (colour->columns <= 0 || colour->rows <= 0 || 3u * colour->columns * colour->rows > size) std::abort();
        free_ppm_data(colour);
    }
    decode("fuzz input", data, size, false);
    decode(path, data, size, true);
    return 0;
}
