// JPEG images through libjpeg-turbo: grey and colour (YCbCr or RGB),
// baseline and progressive, turned as the EXIF orientation says so that the
// picture is traced as viewers show it.
//
// libjpeg's errors end in error_exit, which here records the message and
// long-jumps back; its warnings go to emit_message, which never prints and
// makes the ones that mean damaged or missing data (a file that ends early,
// a segment that ends before its data) errors too, since libjpeg would
// otherwise fill the missing part with grey. The functions that set the jump
// point hold no C++ objects.
//
// The orientation is metadata, read here from the saved APP1 "Exif" marker:
// a TIFF header, the first directory, its tag 0x0112.
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include <cctype>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "decode_internal.h"

namespace decode_detail {

namespace {

constexpr int EXIF_MARKER = JPEG_APP0 + 1;
constexpr unsigned ORIENTATION_TAG = 0x0112;
constexpr unsigned SHORT_TYPE = 3;

struct JpegJob {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    jpeg_progress_mgr progress{};
    bool too_many_scans = false;
    jmp_buf jump;
    bool created = false;
    bool truncated = false;
    bool cmyk = false;
    char message[JMSG_LENGTH_MAX] = {};
};

JpegJob* job_of(j_common_ptr info)
{
    return reinterpret_cast<JpegJob*>(reinterpret_cast<char*>(info) - offsetof(JpegJob, info));
}

void on_error_exit(j_common_ptr info)
{
    JpegJob* job = job_of(info);
    info->err->format_message(info, job->message);
    std::longjmp(job->jump, 1);
}

void on_message(j_common_ptr info, int level)
{
    if (level >= 0) return;  // trace messages
    switch (info->err->msg_code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_MUST_RESYNC:
        case JWRN_NOT_SEQUENTIAL:
        case JWRN_BOGUS_PROGRESSION: {
            JpegJob* job = job_of(info);
            job->truncated = info->err->msg_code == JWRN_JPEG_EOF || info->err->msg_code == JWRN_HIT_MARKER;
            info->err->format_message(info, job->message);
            std::longjmp(job->jump, 1);
        }
        default:
            return;  // a usable image: never printed
    }
}

void on_output(j_common_ptr) {}

// Called by libjpeg as it goes: a file with more scans than MAX_JPEG_SCANS
// is stopped at the first scan beyond, before that scan's pass over the image.
void on_progress(j_common_ptr info)
{
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number <= lintrace::MAX_JPEG_SCANS) return;
    JpegJob* job = job_of(info);
    job->too_many_scans = true;
    std::longjmp(job->jump, 1);
}

struct JpegShape {
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    int channels = 0;
    bool progressive = false;
    int orientation = 1;
    std::optional<lintrace::Resolution> resolution;  // the JFIF density
};

unsigned read_u16(const uint8_t* p, bool big)
{
    return static_cast<unsigned>(read_unsigned(p, 2, big));
}

uint32_t read_u32(const uint8_t* p, bool big)
{
    return static_cast<uint32_t>(read_unsigned(p, 4, big));
}

// The orientation of an APP1 marker's Exif data; 1 (as stored) when the
// marker holds none or is damaged.
int exif_orientation(const uint8_t* data, size_t size)
{
    static const uint8_t exif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (size < 6 + 8 || std::memcmp(data, exif, 6) != 0) return 1;
    const uint8_t* tiff = data + 6;
    const size_t length = size - 6;
    bool big;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else
        return 1;
    if (read_u16(tiff + 2, big) != 42) return 1;
    const uint32_t directory = read_u32(tiff + 4, big);
    if (directory > length || length - directory < 2) return 1;
    const unsigned entries = read_u16(tiff + directory, big);
    for (unsigned k = 0; k < entries; ++k) {
        const size_t entry = directory + 2 + 12 * static_cast<size_t>(k);
        if (entry + 12 > length) return 1;
        if (read_u16(tiff + entry, big) != ORIENTATION_TAG) continue;
        if (read_u16(tiff + entry + 2, big) != SHORT_TYPE || read_u32(tiff + entry + 4, big) != 1) return 1;
        const unsigned value = read_u16(tiff + entry + 8, big);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

// A source of bytes read from an input as libjpeg asks for them. At the
// input's end it does what libjpeg's memory source does: it warns of the
// end (an error here) and hands over an end-of-image marker.
struct StreamSource {
    jpeg_source_mgr manager{};  // first: libjpeg holds a pointer to it
    Input* input = nullptr;
    size_t end = 0;         // the end of the bytes handed to libjpeg
    bool dropping = false;  // the bytes handed over are forgotten once used
    std::exception_ptr read_failure;
};

constexpr size_t SOURCE_CHUNK = 1 << 16;

void source_init(j_decompress_ptr) {}

void source_term(j_decompress_ptr) {}

// Called when every byte handed over has been used.
boolean source_fill(j_decompress_ptr info)
{
    static const JOCTET end_of_image[2] = {0xff, JPEG_EOI};
    auto* source = reinterpret_cast<StreamSource*>(info->src);
    if (source->dropping) source->input->drop_before(source->end);
    try {
        source->input->ensure(source->end + SOURCE_CHUNK, "JPEG");
    } catch (...) {
        // No exception may cross libjpeg's C frames: it is thrown again once libjpeg has returned.
        source->read_failure = std::current_exception();
        ERREXIT(info, JERR_FILE_READ);
    }
    const size_t available = source->input->size() - source->end;
    if (available == 0) {
        WARNMS(info, JWRN_JPEG_EOF);
        source->manager.next_input_byte = end_of_image;
        source->manager.bytes_in_buffer = 2;
        return TRUE;
    }
    source->manager.next_input_byte = source->input->at(source->end);
    source->manager.bytes_in_buffer = available;
    source->end += available;
    return TRUE;
}

void source_skip(j_decompress_ptr info, long count)
{
    jpeg_source_mgr* manager = info->src;
    if (count <= 0) return;
    while (count > static_cast<long>(manager->bytes_in_buffer)) {
        count -= static_cast<long>(manager->bytes_in_buffer);
        manager->bytes_in_buffer = 0;
        manager->fill_input_buffer(info);
    }
    manager->next_input_byte += count;
    manager->bytes_in_buffer -= static_cast<size_t>(count);
}

void stream_source(StreamSource* source, Input* input)
{
    source->input = input;
    source->manager.init_source = source_init;
    source->manager.fill_input_buffer = source_fill;
    source->manager.skip_input_data = source_skip;
    source->manager.resync_to_restart = jpeg_resync_to_restart;
    source->manager.term_source = source_term;
}

// The header, read from the bytes in memory or, where `stream` is set, from it.
bool read_header(JpegJob* job, const uint8_t* data, size_t size, JpegShape* shape, StreamSource* stream = nullptr)
{
    if (setjmp(job->jump)) return false;
    jpeg_create_decompress(&job->info);
    job->created = true;
    job->info.progress = &job->progress;  // set after the creation, which clears it
    if (stream != nullptr)
        job->info.src = &stream->manager;
    else
        jpeg_mem_src(&job->info, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&job->info, EXIF_MARKER, 0xffff);
    jpeg_read_header(&job->info, TRUE);
    for (jpeg_saved_marker_ptr m = job->info.marker_list; m != nullptr; m = m->next)
        if (m->marker == EXIF_MARKER) {
            shape->orientation = exif_orientation(m->data, m->data_length);
            break;
        }
    const J_COLOR_SPACE space = job->info.jpeg_color_space;
    if (space == JCS_CMYK || space == JCS_YCCK) {
        job->cmyk = true;
        return false;
    }
    job->info.out_color_space = job->info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    shape->width = job->info.image_width;
    shape->height = job->info.image_height;
    shape->channels = job->info.num_components == 1 ? 1 : 3;
    shape->progressive = jpeg_has_multiple_scans(&job->info);
    const jpeg_decompress_struct& info = job->info;
    if (info.saw_JFIF_marker && info.X_density > 0 && info.Y_density > 0) {
        using Unit = lintrace::Resolution::Unit;
        const Unit unit = info.density_unit == 1 ? Unit::INCH : info.density_unit == 2 ? Unit::CENTIMETRE : Unit::NONE;
        shape->resolution = lintrace::Resolution{static_cast<double>(info.X_density), static_cast<double>(info.Y_density), unit};
    }
    return true;
}

bool read_rows(JpegJob* job, uint8_t* out, size_t row_bytes)
{
    if (setjmp(job->jump)) return false;
    jpeg_start_decompress(&job->info);
    while (job->info.output_scanline < job->info.output_height) {
        JSAMPROW row = out + static_cast<size_t>(job->info.output_scanline) * row_bytes;
        jpeg_read_scanlines(&job->info, &row, 1);
    }
    jpeg_finish_decompress(&job->info);
    return true;
}

bool start_rows(JpegJob* job)
{
    if (setjmp(job->jump)) return false;
    jpeg_start_decompress(&job->info);
    return true;
}

bool read_row(JpegJob* job, JSAMPROW row)
{
    if (setjmp(job->jump)) return false;
    jpeg_read_scanlines(&job->info, &row, 1);
    return true;
}

bool finish_rows(JpegJob* job)
{
    if (setjmp(job->jump)) return false;
    jpeg_finish_decompress(&job->info);
    return true;
}

[[noreturn]] void failed(const Input& input, const JpegJob& job, const StreamSource* stream = nullptr)
{
    if (stream != nullptr && stream->read_failure) std::rethrow_exception(stream->read_failure);
    if (job.cmyk) fail(input.name(), "JPEG", "image is in CMYK colours, which are not read");
    if (job.too_many_scans)
        fail(input.name(), "JPEG",
             "image has more than " + std::to_string(lintrace::MAX_JPEG_SCANS) +
                 " scans, the most that is read (real files have about ten)");
    std::string reason = job.message;
    // libjpeg's "Corrupt JPEG data: " prefix repeats what the message says already.
    const std::string prefix = "Corrupt JPEG data: ";
    if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    fail(input.name(), "JPEG", std::string(job.truncated ? "data is truncated (" : "data is corrupt (") + reason + ")");
}

void set_handlers(JpegJob* job)
{
    job->info.err = jpeg_std_error(&job->errors);
    job->errors.error_exit = on_error_exit;
    job->errors.emit_message = on_message;
    job->errors.output_message = on_output;
    job->progress.progress_monitor = on_progress;
}

// The checks of a header before the samples are read.
void check_shape(const Input& input, const JpegShape& shape)
{
    input.check_pixels("JPEG", shape.width, shape.height);
    // A progressive image holds every coefficient (two bytes a sample) until its last scan.
    const double coefficients = shape.progressive ? 2.0 * shape.width * shape.height * shape.channels : 0;
    if (!input.fits(coefficients))
        fail(input.name(), "JPEG",
             "image of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) +
                 " pixels does not fit in memory");
}

// A JPEG read through jpeg_read_scanlines, a row at a time, its bytes read
// as libjpeg asks for them. A progressive image's coefficients are all held
// by libjpeg (it reads every scan before the first row); a baseline one
// holds a row of blocks.
class JpegRows : public RowReader {
public:
    explicit JpegRows(std::unique_ptr<InputFile> file) : file_(std::move(file))
    {
        set_handlers(&job_);
        stream_source(&source_, &file_->input());
    }
    ~JpegRows() override { release(); }

    // Reads the header; false for an image that the EXIF orientation turns,
    // whose first row may be the file's last column (nothing is dropped
    // before this says so).
    bool start()
    {
        Input& input = file_->input();
        JpegShape shape;
        if (!read_header(&job_, nullptr, 0, &shape, &source_)) failed(input, job_, &source_);
        if (shape.orientation != 1) return false;
        check_shape(input, shape);
        format_ = "JPEG";
        metadata_.orientation = shape.orientation;
        metadata_.resolution = shape.resolution;
        set_shape(shape.width, shape.height, shape.channels, lintrace::SampleType::UINT8, 255);
        check_row_fits(input, 1);
        source_.dropping = true;
        if (!start_rows(&job_)) failed(input, job_, &source_);
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
        for (int64_t r = 0; r < count; ++r)
            if (!read_row(&job_, out + r * row_bytes())) failed(file_->input(), job_, &source_);
        if (next_ + count == shape_.height && !finish_rows(&job_)) failed(file_->input(), job_, &source_);
    }

private:
    void release()
    {
        if (job_.created) jpeg_destroy_decompress(&job_.info);
        job_.created = false;
    }

    std::unique_ptr<InputFile> file_;
    JpegJob job_;
    StreamSource source_;
};

}  // namespace

std::unique_ptr<RowReader> jpeg_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options)
{
    file->input().check_single_page("JPEG");
    auto rows = std::make_unique<JpegRows>(std::move(file));
    if (rows->start()) return rows;
    return whole_rows(rows->give_back(), options);
}

DecodedImage decode_jpeg(Input& input)
{
    input.read_all("JPEG");
    JpegJob job;
    set_handlers(&job);
    struct Release {
        JpegJob& job;
        ~Release()
        {
            if (job.created) jpeg_destroy_decompress(&job.info);
        }
    } release{job};

    JpegShape shape;
    if (!read_header(&job, input.data(), input.size(), &shape)) failed(input, job);
    check_shape(input, shape);
    DecodedImage image;
    image.format = "JPEG";
    image.max_value = 255;
    image.metadata.orientation = shape.orientation;
    image.metadata.resolution = shape.resolution;
    uint8_t* out =
        allocate_samples(&image, input, shape.width, shape.height, shape.channels, lintrace::SampleType::UINT8);
    if (!read_rows(&job, out, static_cast<size_t>(image.row_stride))) failed(input, job);
    apply_orientation(&image, input, shape.orientation);
    return image;
}

}  // namespace decode_detail
