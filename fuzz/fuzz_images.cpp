// Fuzzing the image readers: any bytes, read as a raw PGM and PPM file and
// through the decoders of every format (netpbm, PNG, JPEG, TIFF), both from
// memory and from a file (the path a mapped raw PGM takes), and from the
// file by rows and by a window. A file that reads must have the size its
// header claims and samples within its maximum value; a file that does not
// must be refused with a message naming it; where the whole image and its
// rows (or a window) both read, they must hold the same samples. Nothing
// may crash, hang, print or allocate beyond the limit given.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// Read by rows and by a window, an image is kept to this many pixels: its
// whole then fits the memory limit too, and a small file claiming a huge
// image (tiles that all point at one compressed tile) cannot take minutes.
constexpr uint64_t ROWS_MAX_PIXELS = 1 << 22;

std::optional<lintrace::Image> decode(const std::string& name, const uint8_t* data, size_t size, bool from_file)
{
    try {
        lintrace::Image image = from_file ? lintrace::read_image(name, {MEMORY_LIMIT, guard_mapped_input})
                                          : lintrace::read_image_bytes(data, size, name, {MEMORY_LIMIT, {}});
        check(image);
        return image;
    } catch (const lintrace::ImageError& e) {
        if (std::strstr(e.what(), name.c_str()) == nullptr) std::abort();
    }
    return std::nullopt;
}

bool same_row(const lintrace::Image& image, int64_t y, int64_t x, int64_t width, const uint8_t* row)
{
    const size_t pixel = static_cast<size_t>(image.channels) * lintrace::sample_bytes(image.type);
    return std::memcmp(static_cast<const uint8_t*>(image.samples) + y * image.row_stride + x * pixel, row,
                       static_cast<size_t>(width) * pixel) == 0;
}

// The file read in bands of 3 rows, and a window of its middle.
void decode_rows(const std::string& path, const std::optional<lintrace::Image>& whole)
{
    lintrace::ReadOptions options{MEMORY_LIMIT, {}};
    options.max_pixels = ROWS_MAX_PIXELS;
    int64_t width = 0, height = 0;
    try {
        const std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(path, options);
        const lintrace::ImageView shape = rows->shape();
        width = shape.width;
        height = shape.height;
        const size_t row_bytes = static_cast<size_t>(shape.width) * shape.channels * lintrace::sample_bytes(shape.type);
        constexpr int64_t BAND = 3;
        std::vector<uint8_t> band(row_bytes * BAND);
        const bool compare = whole && whole->width == shape.width && whole->height == shape.height &&
                             whole->channels == shape.channels && whole->type == shape.type;
        if (whole && !compare) std::abort();
        for (int64_t y = 0; y < shape.height; y += BAND) {
            const int64_t count = std::min(BAND, shape.height - y);
            rows->read(count, band.data());
            for (int64_t r = 0; r < count; ++r)
                if (compare && !same_row(*whole, y + r, 0, shape.width, band.data() + r * row_bytes)) std::abort();
        }
    } catch (const lintrace::ImageError& e) {
        if (std::strstr(e.what(), path.c_str()) == nullptr) std::abort();
        return;
    }
    try {
        const int64_t x = width / 4, y = height / 4;
        const lintrace::Image window = lintrace::read_image_window(path, x, y, width / 2 + 1, height / 2 + 1, options);
        check(window);
        if (whole)
            for (int64_t r = 0; r < window.height; ++r)
                if (!same_row(*whole, y + r, x, window.width,
                              static_cast<const uint8_t*>(window.samples) + r * window.row_stride))
                    std::abort();
    } catch (const lintrace::ImageError& e) {
        if (std::strstr(e.what(), path.c_str()) == nullptr) std::abort();
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
    const std::optional<lintrace::Image> whole = decode(path, data, size, true);
    decode_rows(path, whole && static_cast<uint64_t>(whole->width) * whole->height <= ROWS_MAX_PIXELS ? whole
                                                                                                   : std::nullopt);
    return 0;
}
