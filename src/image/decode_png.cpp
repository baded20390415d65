// PNG images through libpng: every bit depth and colour type, interlaced or
// not.
//
// Samples keep the file's precision: 8- and 16-bit samples as they are
// (maximum 255 or 65535), grey of 1, 2 or 4 bits widened to 8 by libpng,
// which multiplies by 255, 85 or 17: exactly v * 255 / (2^bits - 1), the
// level the detector would make of the narrow sample itself. A palette
// becomes RGB, a transparent colour (tRNS) an alpha channel. Gamma and
// colour-space chunks are ignored: samples are traced as stored.
//
// libpng reports errors by a long jump; the functions that set the jump
// point hold no C++ objects, so nothing is skipped over, and the caller turns
// the recorded message into a DecodeError.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "decode_internal.h"

namespace decode_detail {

namespace {

// deflate cannot expand its input more than 1032 times, so the filtered rows
// of an image can never exceed 1032 times the bytes of the file.
constexpr double DEFLATE_MAX_EXPANSION = 1032;

struct PngJob {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    // Where set, the bytes are read from this input as libpng asks for
    // them (data and size unused); a failure to read is kept here.
    Input* input = nullptr;
    std::exception_ptr read_failure;
    bool truncated = false;
    char message[256] = {};
};

void on_error(png_structp png, png_const_charp message)
{
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp)
{
    // Never printed: a warning leaves a usable image.
}

void on_read(png_structp png, png_bytep out, size_t count)
{
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (job->input != nullptr) {
        bool held = false;
        try {
            held = job->input->ensure(job->at + count, "PNG");
        } catch (...) {
            // No exception may cross libpng's C frames: it is thrown again once libpng has returned.
            job->read_failure = std::current_exception();
            png_error(png, "the file could not be read");
        }
        if (!held) {
            job->truncated = true;
            png_error(png, "the file ends before the image does");
        }
        std::memcpy(out, job->input->at(job->at), count);
        job->at += count;
        return;
    }
    if (job->size - job->at < count) {
        job->truncated = true;
        png_error(png, "the file ends before the image does");
    }
    std::memcpy(out, job->data + job->at, count);
    job->at += count;
}

struct PngShape {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int channels = 0;
    int bit_depth = 0;
    double filtered_bytes = 0;  // the image's filtered rows, as the compressed stream must hold them
    size_t row_bytes = 0;
    std::optional<lintrace::Resolution> resolution;  // the pHYs chunk
};

// Reads the header chunks and sets the transforms. False after an error.
bool read_header(PngJob* job, PngShape* shape)
{
    if (setjmp(png_jmpbuf(job->png))) return false;
    // The image's size is checked here against memory and the file, not by libpng's default cap.
    png_set_user_limits(job->png, 0x7fffffff, 0x7fffffff);
    png_read_info(job->png, job->info);
    const png_uint_32 width = png_get_image_width(job->png, job->info);
    const png_uint_32 height = png_get_image_height(job->png, job->info);
    const int colour = png_get_color_type(job->png, job->info);
    const int depth = png_get_bit_depth(job->png, job->info);
    const int file_channels = png_get_channels(job->png, job->info);
    shape->filtered_bytes =
        static_cast<double>(height) * (1 + (static_cast<double>(width) * depth * file_channels + 7) / 8);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(job->png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(job->png);
    if (png_get_valid(job->png, job->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(job->png);
    if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(job->png);
    png_set_interlace_handling(job->png);
    png_read_update_info(job->png, job->info);
    shape->width = width;
    shape->height = height;
    shape->channels = png_get_channels(job->png, job->info);
    shape->bit_depth = png_get_bit_depth(job->png, job->info);
    shape->row_bytes = png_get_rowbytes(job->png, job->info);
    png_uint_32 x = 0, y = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    if (png_get_pHYs(job->png, job->info, &x, &y, &unit) && x > 0 && y > 0) {
        using Unit = lintrace::Resolution::Unit;
        shape->resolution = lintrace::Resolution{static_cast<double>(x), static_cast<double>(y),
                                                 unit == PNG_RESOLUTION_METER ? Unit::METRE : Unit::NONE};
    }
    return true;
}

bool read_rows(PngJob* job, png_bytep* rows)
{
    if (setjmp(png_jmpbuf(job->png))) return false;
    png_read_image(job->png, rows);
    png_read_end(job->png, nullptr);
    return true;
}

bool read_row(PngJob* job, png_bytep row)
{
    if (setjmp(png_jmpbuf(job->png))) return false;
    png_read_row(job->png, row, nullptr);
    return true;
}

bool read_end(PngJob* job)
{
    if (setjmp(png_jmpbuf(job->png))) return false;
    png_read_end(job->png, nullptr);
    return true;
}

[[noreturn]] void failed(const Input& input, const PngJob& job)
{
    if (job.read_failure) std::rethrow_exception(job.read_failure);
    if (job.truncated) fail(input.name(), "PNG", "data is truncated (the file ends before the image does)");
    fail(input.name(), "PNG", std::string("data is corrupt (") + job.message + ")");
}

// The checks of a header before the samples are read; `file_size` is the
// size of the whole file, -1 where it is not known yet.
void check_shape(const Input& input, const PngShape& shape, double file_size)
{
    input.check_pixels("PNG", shape.width, shape.height);
    const std::string size = std::to_string(shape.width) + " x " + std::to_string(shape.height);
    if (file_size >= 0 && shape.filtered_bytes > DEFLATE_MAX_EXPANSION * file_size + 4096)
        fail(input.name(), "PNG",
             "data is truncated: an image of " + size + " pixels cannot fit in " +
                 std::to_string(static_cast<long long>(file_size)) + " bytes");
}

// A non-interlaced PNG read row by row through png_read_row: libpng holds
// a row or two, this reader the compressed bytes of the row at hand.
class PngRows : public RowReader {
public:
    explicit PngRows(std::unique_ptr<InputFile> file) : file_(std::move(file)) { job_.input = &file_->input(); }
    ~PngRows() override { release(); }

    // Reads the header; false for an interlaced image, whose rows come in
    // passes over the whole picture (nothing is dropped before this says so).
    bool start()
    {
        Input& input = file_->input();
        job_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job_, on_error, on_warning);
        if (job_.png == nullptr) fail(input.name(), "PNG", "decoder could not be started");
        job_.info = png_create_info_struct(job_.png);
        if (job_.info == nullptr) fail(input.name(), "PNG", "decoder could not be started");
        png_set_read_fn(job_.png, &job_, on_read);
        PngShape shape;
        if (!read_header(&job_, &shape)) failed(input, job_);
        if (png_get_interlace_type(job_.png, job_.info) != PNG_INTERLACE_NONE) return false;
        check_shape(input, shape, static_cast<double>(input.known_size()));
        format_ = "PNG";
        metadata_.resolution = shape.resolution;
        const auto type = shape.bit_depth == 16 ? lintrace::SampleType::UINT16 : lintrace::SampleType::UINT8;
        set_shape(shape.width, shape.height, shape.channels, type, shape.bit_depth == 16 ? 65535 : 255);
        check_row_fits(input, 1);
        if (shape.bit_depth < 8 || shape.row_bytes != row_bytes())
            fail(input.name(), "PNG", "image has a layout the decoder does not give");
        return true;
    }

    std::unique_ptr<InputFile> give_back()
    {
        release();
        return std::move(file_);
    }

protected:
    void read_rows(int64_t count, uint8_t* out) override
    {
        Input& input = file_->input();
        for (int64_t r = 0; r < count; ++r) {
            if (!read_row(&job_, out + r * row_bytes())) failed(input, job_);
            input.drop_before(job_.at);
        }
        // After the last row, the chunks that end the file, as read_image reads them.
        if (next_ + count == shape_.height && !read_end(&job_)) failed(input, job_);
    }

private:
    void release()
    {
        if (job_.png != nullptr) png_destroy_read_struct(&job_.png, job_.info != nullptr ? &job_.info : nullptr, nullptr);
        job_.png = nullptr;
        job_.info = nullptr;
    }

    std::unique_ptr<InputFile> file_;
    PngJob job_;
};

}  // namespace

std::unique_ptr<RowReader> png_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options)
{
    file->input().check_single_page("PNG");
    auto rows = std::make_unique<PngRows>(std::move(file));
    if (rows->start()) return rows;
    return whole_rows(rows->give_back(), options);
}

DecodedImage decode_png(Input& input)
{
    input.read_all("PNG");
    PngJob job;
    job.data = input.data();
    job.size = input.size();
    job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, on_error, on_warning);
    if (job.png == nullptr) fail(input.name(), "PNG", "decoder could not be started");
    job.info = png_create_info_struct(job.png);
    struct Release {
        PngJob& job;
        ~Release() { png_destroy_read_struct(&job.png, job.info != nullptr ? &job.info : nullptr, nullptr); }
    } release{job};
    if (job.info == nullptr) fail(input.name(), "PNG", "decoder could not be started");
    png_set_read_fn(job.png, &job, on_read);

    PngShape shape;
    if (!read_header(&job, &shape)) failed(input, job);
    check_shape(input, shape, static_cast<double>(input.size()));

    DecodedImage image;
    image.format = "PNG";
    image.metadata.resolution = shape.resolution;
    image.max_value = shape.bit_depth == 16 ? 65535 : 255;
    const auto type = shape.bit_depth == 16 ? lintrace::SampleType::UINT16 : lintrace::SampleType::UINT8;
    uint8_t* out = allocate_samples(&image, input, shape.width, shape.height, shape.channels, type);
    if (shape.bit_depth < 8 || shape.row_bytes != static_cast<size_t>(image.row_stride))
        fail(input.name(), "PNG", "image has a layout the decoder does not give");
    std::vector<png_bytep> rows(shape.height);
    for (png_uint_32 r = 0; r < shape.height; ++r) rows[r] = out + static_cast<size_t>(r) * image.row_stride;
    if (!read_rows(&job, rows.data())) failed(input, job);
    return image;
}

}  // namespace decode_detail
