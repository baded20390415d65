// PNG output: libpng's stream goes to the caller's sink. libpng's errors (a
// picture it refuses) long-jump back to write_rows, which holds no C++
// objects, and come back to the caller as a failure with libpng's message.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "lintrace/image.h"

namespace {

struct PngOutput {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const std::function<void(const void*, size_t)>* sink = nullptr;
    char message[256] = {};
};

void on_error(png_structp png, png_const_charp message)
{
    auto* output = static_cast<PngOutput*>(png_get_error_ptr(png));
    std::snprintf(output->message, sizeof output->message, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_write(png_structp png, png_bytep data, size_t size)
{
    (*static_cast<PngOutput*>(png_get_io_ptr(png))->sink)(data, size);
}

void on_flush(png_structp) {}

bool write_rows(PngOutput* output, const lintrace::Picture* picture, png_bytep* rows)
{
    if (setjmp(png_jmpbuf(output->png))) return false;
    png_set_write_fn(output->png, output, on_write, on_flush);
    png_set_IHDR(output->png, output->info, static_cast<png_uint_32>(picture->width),
                 static_cast<png_uint_32>(picture->height), 8,
                 picture->channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(output->png, output->info);
    png_write_image(output->png, rows);
    png_write_end(output->png, nullptr);
    return true;
}

// Writes rows of `channels` bytes a pixel to `sink`; false, with `failure`
// saying why, when libpng refuses them.
bool write_png_rows(const std::function<void(const void*, size_t)>& sink, const lintrace::Picture& picture,
                    png_bytep* rows, std::string* failure)
{
    // PNG's own limit on each dimension.
    if (picture.width < 1 || picture.height < 1 || picture.width > 0x7fffffff || picture.height > 0x7fffffff) {
        *failure = "a PNG image holds 1 to 2147483647 rows and columns";
        return false;
    }
    PngOutput output;
    output.sink = &sink;
    output.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &output, on_error, on_warning);
    if (output.png != nullptr) output.info = png_create_info_struct(output.png);
    if (output.info == nullptr) {
        png_destroy_write_struct(&output.png, nullptr);
        throw std::bad_alloc();
    }
    const bool written = write_rows(&output, &picture, rows);
    png_destroy_write_struct(&output.png, &output.info);
    if (!written) *failure = output.message;
    return written;
}

std::vector<png_bytep> rows_of(const lintrace::Picture& picture)
{
    std::vector<png_bytep> rows(static_cast<size_t>(std::max<int64_t>(picture.height, 0)));
    const size_t row_bytes = static_cast<size_t>(picture.width) * picture.channels;
    for (size_t r = 0; r < rows.size(); ++r)
        rows[r] = const_cast<png_bytep>(picture.rows != nullptr ? picture.rows[r] : picture.samples + r * row_bytes);
    return rows;
}

}  // namespace

bool lintrace::write_png(const Picture& picture, const std::function<void(const void*, size_t)>& sink,
                         std::string* failure)
{
    std::vector<png_bytep> rows = rows_of(picture);
    return write_png_rows(sink, picture, rows.data(), failure);
}
