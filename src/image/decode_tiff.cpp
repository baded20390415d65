// TIFF images through libtiff: one page of a file (the first unless the
// caller asks for another), in strips or tiles, samples interleaved or in
// planes, under any compression libtiff reads.
//
// Grey (min-is-black or min-is-white) and RGB images of 8 or 16 bits, or of
// 32-bit floating point, are read sample by sample at their own precision;
// an alpha channel among the extra samples is kept. Floating-point samples
// are taken on the scale 0 to SMaxSampleValue (1 when the file does not say)
// and become grey levels v * 255 / max in double. Every other kind of image
// of at most 8 bits a sample (palette, 1, 2 and 4 bits, YCbCr, CMYK, CIE
// Lab) is left to libtiff's RGBA reader. The Orientation tag is applied as
// JPEG's EXIF one is.
//
// libtiff's messages never reach the standard error stream: a per-file
// handler keeps the first error for the DecodeError and drops warnings.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "decode_internal.h"

namespace decode_detail {

namespace {

// The file libtiff reads: bytes in memory, or (for a reader by rows of a
// regular file) the open file itself, read where libtiff seeks, so that only
// the strips and tiles asked for are ever read.
struct MemoryFile {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    std::string error;
    int fd = -1;  // where set, the bytes are read from this file rather than data
};

// Up to `count` bytes at `offset`; fewer at the end of the file, -1 when it cannot be read.
tmsize_t read_at(MemoryFile* file, uint64_t offset, void* out, size_t count)
{
    const size_t n = std::min(count, offset < file->size ? static_cast<size_t>(file->size - offset) : 0);
    if (file->fd < 0) {
        std::memcpy(out, file->data + offset, n);
        return static_cast<tmsize_t>(n);
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(file->fd, static_cast<uint8_t*>(out) + done, n - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<tmsize_t>(done);
}

tmsize_t on_read(thandle_t handle, void* out, tmsize_t count)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (count < 0) return -1;
    const tmsize_t n = read_at(file, file->at, out, static_cast<size_t>(count));
    if (n > 0) file->at += static_cast<size_t>(n);
    return n;
}

tmsize_t on_write(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t on_seek(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<MemoryFile*>(handle);
    uint64_t base = whence == SEEK_CUR ? file->at : whence == SEEK_END ? file->size : 0;
    const uint64_t target = base + offset;
    if (target < base) return static_cast<toff_t>(-1);
    file->at = target > file->size ? file->size : static_cast<size_t>(target);
    return target;
}

int on_close(thandle_t)
{
    return 0;
}

toff_t on_size(thandle_t handle)
{
    return static_cast<MemoryFile*>(handle)->size;
}

int on_map(thandle_t handle, void** base, toff_t* size)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (file->fd >= 0) return 0;
    *base = const_cast<uint8_t*>(file->data);
    *size = file->size;
    return 1;
}

void on_unmap(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char* module, const char* format, va_list arguments)
{
    auto* file = static_cast<MemoryFile*>(user);
    if (file->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        file->error = text;
        (void)module;
    }
    return 1;  // handled: nothing printed
}

int on_warning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

// The GeoTIFF tags, made known to libtiff (as libgeotiff does) so that
// their values come back in the type asked for, whatever type the file
// stores them in.
constexpr ttag_t MODEL_PIXEL_SCALE = 33550;
constexpr ttag_t MODEL_TIEPOINT = 33922;
constexpr ttag_t MODEL_TRANSFORMATION = 34264;
constexpr ttag_t GEO_KEY_DIRECTORY = 34735;
constexpr ttag_t GEO_DOUBLE_PARAMS = 34736;
constexpr ttag_t GEO_ASCII_PARAMS = 34737;

TIFFExtendProc parent_extender = nullptr;

void extend_with_geotiff_tags(TIFF* tiff)
{
    static const TIFFFieldInfo fields[] = {
        {MODEL_PIXEL_SCALE, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("ModelPixelScaleTag")},
        {MODEL_TIEPOINT, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("ModelTiepointTag")},
        {MODEL_TRANSFORMATION, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("ModelTransformationTag")},
        {GEO_KEY_DIRECTORY, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_SHORT, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("GeoKeyDirectoryTag")},
        {GEO_DOUBLE_PARAMS, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
         const_cast<char*>("GeoDoubleParamsTag")},
        {GEO_ASCII_PARAMS, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
         const_cast<char*>("GeoAsciiParamsTag")},
    };
    TIFFMergeFieldInfo(tiff, fields, sizeof fields / sizeof fields[0]);
    if (parent_extender != nullptr) parent_extender(tiff);
}

// The values of a tag of `count` values, or nothing where the file has none.
template <typename T>
std::vector<T> tag_values(TIFF* tiff, ttag_t tag)
{
    uint16_t count = 0;
    T* values = nullptr;
    if (!TIFFGetField(tiff, tag, &count, &values) || values == nullptr) return {};
    return std::vector<T>(values, values + count);
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

struct Layout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 1;
    uint16_t samples_per_pixel = 1;
    uint16_t sample_format = SAMPLEFORMAT_UINT;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    int colours = 1;          // 1 grey, 3 RGB
    int alpha_sample = -1;    // index of the alpha sample, -1 for none
    bool associated = false;  // the colour samples are premultiplied by alpha
};

class TiffReader {
public:
    TiffReader(Input& input) : input_(input), file_{input.data(), input.size(), 0, std::string()} {}
    // A reader of the regular file `fd` of `size` bytes, read where libtiff seeks.
    TiffReader(Input& input, int fd, size_t size) : input_(input), file_{nullptr, size, 0, std::string(), fd} {}

    DecodedImage read()
    {
        DecodedImage image;
        image.format = "TIFF";
        open(&image.metadata);
        if (native()) {
            read_native(&image);
        } else {
            read_rgba(&image);
        }
        apply_orientation(&image, input_, layout_.orientation);
        return image;
    }

    // Opens the file at the page asked for and reads its layout and metadata.
    void open(lintrace::ImageMetadata* metadata)
    {
        // Process-wide handlers too, for any message raised outside a file's own.
        static const bool silenced = [] {
            TIFFSetErrorHandler(nullptr);
            TIFFSetWarningHandler(nullptr);
            return true;
        }();
        (void)silenced;
        std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                             TIFFOpenOptionsFree);
        if (options == nullptr) fail_here("decoder could not be started");
        TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_error, &file_);
        TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_warning, &file_);
        // libtiff's own blocks (its directories, a strip's compressed bytes) are held to the same limit.
        const double most =
            std::min(static_cast<double>(std::numeric_limits<tmsize_t>::max() / 2), std::floor(input_.memory_limit()));
        TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), static_cast<tmsize_t>(most));
        static const bool extended = [] {
            parent_extender = TIFFSetTagExtender(extend_with_geotiff_tags);
            return true;
        }();
        (void)extended;
        tiff_.reset(TIFFClientOpenExt(input_.name().c_str(), "r", &file_, on_read, on_write, on_seek, on_close, on_size,
                                      on_map, on_unmap, options.get()));
        if (tiff_ == nullptr) corrupt();
        choose_page();
        read_layout();
        read_metadata(metadata);
    }

    const Layout& layout() const { return layout_; }
    MemoryFile& file() { return file_; }

private:
    [[noreturn]] void fail_here(const std::string& reason) const { fail(input_.name(), "TIFF", reason); }

    [[noreturn]] void corrupt() const
    {
        const std::string& message = file_.error;
        const bool ended = message.find("Read error") != std::string::npos ||
                           message.find("past end") != std::string::npos ||
                           message.find("Unexpected end") != std::string::npos ||
                           message.find("IO error during reading") != std::string::npos;
        if (message.find("limit defined in open options") != std::string::npos)
            fail_here("image does not fit in memory (" + message + ")");
        fail_here(std::string(ended ? "data is truncated (" : "data is corrupt (") +
                  (message.empty() ? "libtiff gave no reason" : message) + ")");
    }

    // Makes the page (directory) asked for current; the first is already.
    // Pages are counted from 1 in messages, as a user names them.
    void choose_page()
    {
        const int wanted = input_.page();
        if (wanted == 0) return;
        TIFF* t = tiff_.get();
        const tdir_t pages = TIFFNumberOfDirectories(t);
        if (static_cast<tdir_t>(wanted) >= pages)
            fail_here("image has no page " + std::to_string(wanted + 1) + " (it has " + std::to_string(pages) +
                      (pages == 1 ? " page)" : " pages)"));
        file_.error.clear();
        if (!TIFFSetDirectory(t, static_cast<tdir_t>(wanted))) corrupt();
    }

    void read_layout()
    {
        TIFF* t = tiff_.get();
        if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &layout_.width) ||
            !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &layout_.height))
            fail_here("data is corrupt (the image's size is missing)");
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &layout_.bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &layout_.samples_per_pixel);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &layout_.sample_format);
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &layout_.planar);
        TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &layout_.orientation);
        if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &layout_.photometric))
            layout_.photometric = layout_.samples_per_pixel >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        if (layout_.width == 0 || layout_.height == 0) fail_here("image has no pixels");
        // What is never read is refused before a strip of it is allocated.
        if (layout_.samples_per_pixel > lintrace::MAX_TIFF_SAMPLES_PER_PIXEL)
            fail_here("image has " + std::to_string(layout_.samples_per_pixel) + " samples a pixel, more than the " +
                      std::to_string(lintrace::MAX_TIFF_SAMPLES_PER_PIXEL) + " that are read");
        input_.check_pixels("TIFF", layout_.width, layout_.height);
        layout_.colours = layout_.photometric == PHOTOMETRIC_RGB ? 3 : 1;
        uint16_t extra_count = 0;
        uint16_t* extra = nullptr;
        if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra_count, &extra) && extra_count > 0 && extra != nullptr &&
            (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA) &&
            layout_.samples_per_pixel > layout_.colours) {
            layout_.alpha_sample = layout_.colours;
            layout_.associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
        }
    }

    // The orientation, the page count, the resolution and the georeferencing tags.
    void read_metadata(lintrace::ImageMetadata* metadata)
    {
        TIFF* t = tiff_.get();
        metadata->orientation = layout_.orientation >= 1 && layout_.orientation <= 8 ? layout_.orientation : 1;
        metadata->page = static_cast<int>(TIFFCurrentDirectory(t));
        metadata->page_count = std::max<int>(static_cast<int>(TIFFNumberOfDirectories(t)), 1);
        float x = 0, y = 0;
        uint16_t unit = RESUNIT_INCH;
        if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &y) && x > 0 && y > 0 &&
            std::isfinite(x) && std::isfinite(y)) {
            TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
            using Unit = lintrace::Resolution::Unit;
            metadata->resolution = lintrace::Resolution{
                x, y, unit == RESUNIT_CENTIMETER ? Unit::CENTIMETRE : unit == RESUNIT_NONE ? Unit::NONE : Unit::INCH};
        }
        lintrace::GeoTiffTags& geo = metadata->geotiff;
        geo.pixel_scale = tag_values<double>(t, MODEL_PIXEL_SCALE);
        geo.tiepoints = tag_values<double>(t, MODEL_TIEPOINT);
        geo.transformation = tag_values<double>(t, MODEL_TRANSFORMATION);
        geo.key_directory = tag_values<uint16_t>(t, GEO_KEY_DIRECTORY);
        geo.double_params = tag_values<double>(t, GEO_DOUBLE_PARAMS);
        char* ascii = nullptr;
        if (TIFFGetField(t, GEO_ASCII_PARAMS, &ascii) && ascii != nullptr) geo.ascii_params = ascii;
    }

public:
    // How the samples of the file become the image's: the type and channels
    // made, and the strips or tiles they are read by.
    struct Native {
        lintrace::SampleType type = lintrace::SampleType::UINT8;
        int channels = 1;
        double float_max = 1;  // the scale of floating-point samples
        bool tiled = false;
        uint32_t block_width = 0;
        uint32_t block_height = 0;
        bool planes = false;  // a plane per channel
        int per_pixel = 1;    // samples a pixel of a block
        int bytes = 1;        // bytes a sample of the file
        size_t out_pixel = 0;
        int source[4] = {};  // output channel k takes the file's sample source[k]
        int plane_count = 1;
        std::vector<uint8_t> block;
    };

    // The part of the image a block's pixels are kept of: columns [left, right), rows [top, bottom).
    struct Keep {
        int64_t left, top, right, bottom;
    };

    bool native() const
    {
        const Layout& l = layout_;
        const bool kind = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE ||
                          l.photometric == PHOTOMETRIC_RGB;
        const bool samples = (l.sample_format == SAMPLEFORMAT_UINT && (l.bits == 8 || l.bits == 16)) ||
                             (l.sample_format == SAMPLEFORMAT_IEEEFP && l.bits == 32);
        return kind && samples && l.samples_per_pixel >= l.colours;
    }

    // The type and channels of the samples made, and the largest value.
    void plan_samples(Native* plan, double* max_value) const
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        const bool floating = l.sample_format == SAMPLEFORMAT_IEEEFP;
        plan->type = floating       ? lintrace::SampleType::DOUBLE
                     : l.bits == 16 ? lintrace::SampleType::UINT16
                                    : lintrace::SampleType::UINT8;
        plan->channels = l.colours + (l.alpha_sample >= 0 ? 1 : 0);
        if (floating) {
            double stated = 0;
            if (TIFFGetField(t, TIFFTAG_SMAXSAMPLEVALUE, &stated) && stated > 0 && std::isfinite(stated))
                plan->float_max = stated;
        }
        *max_value = floating ? 255 : l.bits == 16 ? 65535 : 255;
    }

    // The strips or tiles, checked, and the block one of them is read into.
    void plan_blocks(Native* plan) const
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        plan->tiled = TIFFIsTiled(t);
        uint32_t block_width = l.width, block_height = 0;
        if (plan->tiled) {
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &block_width);
            TIFFGetField(t, TIFFTAG_TILELENGTH, &block_height);
        } else {
            TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &block_height);
            if (block_height > l.height) block_height = l.height;
        }
        if (block_width == 0 || block_height == 0) fail_here("data is corrupt (a strip or tile has no size)");
        // Tiles are multiples of 16 pixels: one wider or higher than its
        // image rounded up to 16 would be allocated only to be thrown away.
        const auto covering = [](uint32_t size) { return (static_cast<uint64_t>(size) + 15) / 16 * 16; };
        if (plan->tiled && (block_width > covering(l.width) || block_height > covering(l.height)))
            fail_here("tile of " + std::to_string(block_width) + " x " + std::to_string(block_height) +
                      " pixels is larger than its image of " + std::to_string(l.width) + " x " +
                      std::to_string(l.height) + " pixels");
        plan->block_width = block_width;
        plan->block_height = block_height;
        plan->planes = l.planar == PLANARCONFIG_SEPARATE;
        plan->per_pixel = plan->planes ? 1 : l.samples_per_pixel;
        plan->bytes = l.bits / 8;
        const double block_bytes = static_cast<double>(block_width) * block_height * plan->per_pixel * plan->bytes;
        if (!input_.fits(block_bytes)) fail_here("strip or tile does not fit in memory");
        plan->block.assign(static_cast<size_t>(block_bytes), 0);
        plan->out_pixel = static_cast<size_t>(plan->channels) * sample_bytes(plan->type);
        for (int k = 0; k < l.colours; ++k) plan->source[k] = k;
        if (l.alpha_sample >= 0) plan->source[l.colours] = l.alpha_sample;
        plan->plane_count = plan->planes ? plan->channels : 1;
    }

    // Reads the strip or tile of output channel `plane` (0 for interleaved
    // samples) whose top left pixel is (x0, y0), and stores its pixels that
    // lie in `keep` into `out`, whose first pixel is keep's top left and
    // whose rows are `stride` bytes apart.
    void read_block(Native& plan, int plane, uint32_t x0, uint32_t y0, const Keep& keep, uint8_t* out,
                    size_t stride)
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        const uint16_t file_plane = static_cast<uint16_t>(plan.planes ? plan.source[plane] : 0);
        tmsize_t got;
        if (plan.tiled)
            got = TIFFReadEncodedTile(t, TIFFComputeTile(t, x0, y0, 0, file_plane), plan.block.data(),
                                      static_cast<tmsize_t>(plan.block.size()));
        else
            got = TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y0, file_plane), plan.block.data(),
                                       static_cast<tmsize_t>(plan.block.size()));
        const uint32_t rows = std::min(plan.block_height, l.height - y0);
        const uint32_t columns = std::min(plan.block_width, l.width - x0);
        const int bytes = plan.bytes, per_pixel = plan.per_pixel;
        const double needed = (static_cast<double>(rows - 1) * plan.block_width + columns) * per_pixel * bytes;
        if (got < 0 || static_cast<double>(got) < needed) corrupt_or_truncated();
        const uint32_t r0 = static_cast<uint32_t>(std::max<int64_t>(keep.top - y0, 0));
        const uint32_t r1 = static_cast<uint32_t>(std::min<int64_t>(keep.bottom - y0, rows));
        const uint32_t c0 = static_cast<uint32_t>(std::max<int64_t>(keep.left - x0, 0));
        const uint32_t c1 = static_cast<uint32_t>(std::min<int64_t>(keep.right - x0, columns));
        for (uint32_t r = r0; r < r1; ++r)
            for (uint32_t c = c0; c < c1; ++c) {
                const uint8_t* in = plan.block.data() + (static_cast<size_t>(r) * plan.block_width + c) * per_pixel * bytes;
                uint8_t* to = out + static_cast<size_t>(y0 + r - keep.top) * stride + (x0 + c - keep.left) * plan.out_pixel;
                for (int k = 0; k < plan.channels; ++k) {
                    if (plan.planes && k != plane) continue;
                    const uint8_t* s = in + (plan.planes ? 0 : plan.source[k]) * bytes;
                    const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE && k < l.colours;
                    store(s, to, k, plan.type, invert, plan.float_max);
                }
            }
    }

    // The blocks that touch `keep`, plane by plane, row of blocks after row.
    void read_blocks(Native& plan, const Keep& keep, uint8_t* out, size_t stride)
    {
        const uint32_t bw = plan.block_width, bh = plan.block_height;
        for (int plane = 0; plane < plan.plane_count; ++plane)
            for (int64_t y0 = keep.top / bh * bh; y0 < keep.bottom; y0 += bh)
                for (int64_t x0 = keep.left / bw * bw; x0 < keep.right; x0 += bw)
                    read_block(plan, plane, static_cast<uint32_t>(x0), static_cast<uint32_t>(y0), keep, out, stride);
        // The detector's arithmetic is defined on finite levels only.
        if (plan.type == lintrace::SampleType::DOUBLE)
            for (int64_t y = 0; y < keep.bottom - keep.top; ++y) {
                const auto* levels = reinterpret_cast<const double*>(out + static_cast<size_t>(y) * stride);
                for (int64_t k = 0; k < (keep.right - keep.left) * plan.channels; ++k)
                    if (!std::isfinite(levels[k])) fail_here("sample is not a finite number");
            }
    }

    // The checks of an image left to libtiff's RGBA reader, before its raster is allocated.
    void check_rgba()
    {
        const Layout& l = layout_;
        if (l.bits > 8)
            fail_here("image of " + std::to_string(l.bits) + "-bit samples with photometric interpretation " +
                      std::to_string(l.photometric) + " is not read");
        char reason[1024] = {};
        if (!TIFFRGBAImageOK(tiff_.get(), reason)) fail_here(std::string("image is not read (") + reason + ")");
    }

    // What the RGBA reader's image becomes: grey (one channel) or RGB,
    // composited over white into double grey levels where there is alpha.
    int rgba_channels() const
    {
        const Layout& l = layout_;
        return l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE ? 1 : 3;
    }
    lintrace::SampleType rgba_type() const
    {
        return layout_.alpha_sample >= 0 ? lintrace::SampleType::DOUBLE : lintrace::SampleType::UINT8;
    }

    // The RGBA reader's pixels as the image's samples. Its alpha is
    // premultiplied, so an image with alpha is composited over white here.
    void store_rgba(const uint32_t* raster, size_t pixels, uint8_t* out) const
    {
        const int channels = rgba_channels();
        const bool alpha = layout_.alpha_sample >= 0;
        for (size_t p = 0; p < pixels; ++p) {
            const uint32_t v = raster[p];
            const uint8_t rgb[3] = {static_cast<uint8_t>(TIFFGetR(v)), static_cast<uint8_t>(TIFFGetG(v)),
                                    static_cast<uint8_t>(TIFFGetB(v))};
            const double a = TIFFGetA(v) / 255.0;
            for (int k = 0; k < channels; ++k) {
                if (alpha)
                    reinterpret_cast<double*>(out)[p * channels + k] = rgb[k] + 255 * (1 - a);
                else
                    out[p * channels + k] = rgb[k];
            }
        }
    }

    TIFF* tiff() const { return tiff_.get(); }

    [[noreturn]] void corrupt_or_truncated() const
    {
        if (file_.error.empty()) fail_here("data is truncated (a strip or tile is shorter than the image needs)");
        corrupt();
    }

private:
    // Samples as stored, strip by strip or tile by tile, plane by plane.
    void read_native(DecodedImage* image)
    {
        const Layout& l = layout_;
        Native plan;
        plan_samples(&plan, &image->max_value);
        uint8_t* out = allocate_samples(image, input_, l.width, l.height, plan.channels, plan.type);
        plan_blocks(&plan);
        read_blocks(plan, Keep{0, 0, l.width, l.height}, out, static_cast<size_t>(image->row_stride));
    }

    static void store(const uint8_t* s, uint8_t* to, int k, lintrace::SampleType type, bool invert, double float_max)
    {
        switch (type) {
            case lintrace::SampleType::UINT8:
                to[k] = invert ? static_cast<uint8_t>(255 - *s) : *s;
                break;
            case lintrace::SampleType::UINT16: {
                uint16_t v;
                std::memcpy(&v, s, 2);
                reinterpret_cast<uint16_t*>(to)[k] = invert ? static_cast<uint16_t>(65535 - v) : v;
                break;
            }
            case lintrace::SampleType::DOUBLE: {
                float v;
                std::memcpy(&v, s, 4);
                double level = static_cast<double>(v) * 255 / float_max;
                if (invert) level = 255 - level;
                reinterpret_cast<double*>(to)[k] = level;
                break;
            }
        }
    }

    // libtiff's RGBA reader, in the stored row order (the orientation is
    // applied afterwards, as for every TIFF).
    void read_rgba(DecodedImage* image)
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        check_rgba();
        const double pixels = static_cast<double>(l.width) * l.height;
        if (!input_.fits(pixels * 4))
            fail_here("image of " + std::to_string(l.width) + " x " + std::to_string(l.height) +
                      " pixels does not fit in memory");
        std::unique_ptr<uint32_t[]> raster(new uint32_t[static_cast<size_t>(pixels)]);
        // Rows as stored: asking for the file's own orientation leaves them unturned.
        if (!TIFFReadRGBAImageOriented(t, l.width, l.height, raster.get(), l.orientation, 1)) corrupt_or_truncated();
        image->max_value = 255;
        uint8_t* out = allocate_samples(image, input_, l.width, l.height, rgba_channels(), rgba_type());
        store_rgba(raster.get(), static_cast<size_t>(pixels), out);
    }

    Input& input_;
    MemoryFile file_;
    std::unique_ptr<TIFF, TiffCloser> tiff_;
    Layout layout_;
};

// Whether the file holds the whole of its first directory (the header's
// offset, the count of entries, the entries): a file cut before its end is
// truncated, which libtiff would only call an unreadable directory.
bool first_directory_is_whole(MemoryFile& file)
{
    uint8_t head[4];
    if (read_at(&file, 0, head, 4) != 4) return false;
    const size_t size = file.size;
    const bool big_endian = head[0] == 'M';
    const bool big_tiff = head[big_endian ? 3 : 2] == 43;
    auto number = [&](uint64_t at, size_t bytes, uint64_t* value) {
        uint8_t d[8];
        if (at > size || size - at < bytes || read_at(&file, at, d, bytes) != static_cast<tmsize_t>(bytes))
            return false;
        *value = read_unsigned(d, bytes, big_endian);
        return true;
    };
    const size_t offset_bytes = big_tiff ? 8 : 4, count_bytes = big_tiff ? 8 : 2, entry_bytes = big_tiff ? 20 : 12;
    uint64_t directory = 0, entries = 0;
    if (!number(big_tiff ? 8 : 4, offset_bytes, &directory) || !number(directory, count_bytes, &entries)) return false;
    const double end = static_cast<double>(directory) + count_bytes + static_cast<double>(entries) * entry_bytes;
    return end <= static_cast<double>(size);
}

void check_first_directory(const Input& input, MemoryFile& file)
{
    if (!first_directory_is_whole(file))
        fail(input.name(), "TIFF", "data is truncated (the file ends before its first directory does)");
}

// A TIFF read a band of rows at a time: a band is the rows of a strip, or
// of a row of tiles, read by TIFFReadEncodedStrip or TIFFReadEncodedTile
// (plane by plane) or, for the images left to libtiff's RGBA reader, by
// TIFFRGBAImageGet from the band's first row. Only that band (and the one
// strip or tile being decoded) is held. A window reads only the strips or
// tiles it touches.
class TiffRows : public RowReader {
public:
    explicit TiffRows(std::unique_ptr<InputFile> file) : file_(std::move(file))
    {
        Input& input = file_->input();
        // A regular file is read where libtiff seeks; a stream is held whole, as read_image holds it.
        if (input.fd() >= 0 && input.known_size() > 0) {
            reader_ = std::make_unique<TiffReader>(input, input.fd(), static_cast<size_t>(input.known_size()));
        } else {
            input.read_all("TIFF");
            reader_ = std::make_unique<TiffReader>(input);
        }
    }
    ~TiffRows() override
    {
        if (rgba_started_) TIFFRGBAImageEnd(&rgba_);
    }

    // Opens the page; false for an orientation that turns the picture (and
    // the one layout libtiff cannot read by bands from a file, below).
    bool start()
    {
        Input& input = file_->input();
        check_first_directory(input, reader_->file());
        format_ = "TIFF";
        reader_->open(&metadata_);
        const Layout& l = reader_->layout();
        if (l.orientation != ORIENTATION_TOPLEFT && l.orientation >= 1 && l.orientation <= 8) return false;
        native_ = reader_->native();
        // libtiff's RGBA reader refuses an uncompressed tile read from a file
        // it does not map unless the tile's bytes are a multiple of 1024 (the
        // size it rounds its buffer to, which it then compares with the
        // tile's): such an image is read whole, from memory, as read_image
        // reads it.
        uint16_t compression = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(reader_->tiff(), TIFFTAG_COMPRESSION, &compression);
        if (!native_ && reader_->file().fd >= 0 && TIFFIsTiled(reader_->tiff()) && compression == COMPRESSION_NONE &&
            TIFFTileSize64(reader_->tiff()) % 1024 != 0)
            return false;
        if (native_) {
            double max_value = 255;
            reader_->plan_samples(&plan_, &max_value);
            set_shape(l.width, l.height, plan_.channels, plan_.type, max_value);
            reader_->plan_blocks(&plan_);
            band_height_ = plan_.block_height;
        } else {
            reader_->check_rgba();
            set_shape(l.width, l.height, reader_->rgba_channels(), reader_->rgba_type(), 255);
            uint32_t block_height = 0;
            if (TIFFIsTiled(reader_->tiff()))
                TIFFGetField(reader_->tiff(), TIFFTAG_TILELENGTH, &block_height);
            else
                TIFFGetFieldDefaulted(reader_->tiff(), TIFFTAG_ROWSPERSTRIP, &block_height);
            band_height_ = std::clamp<uint32_t>(block_height, 1, l.height);
            if (!input.fits(static_cast<double>(l.width) * band_height_ * 4)) fail_band(input);
            char reason[1024] = {};
            if (!TIFFRGBAImageBegin(&rgba_, reader_->tiff(), 1, reason))
                fail(input.name(), "TIFF", std::string("image is not read (") + reason + ")");
            rgba_started_ = true;
            rgba_.req_orientation = ORIENTATION_TOPLEFT;
            raster_.resize(static_cast<size_t>(l.width) * band_height_);
        }
        check_row_fits(input, band_height_);
        band_.resize(row_bytes() * band_height_);
        return true;
    }

    std::unique_ptr<InputFile> give_back()
    {
        reader_.reset();
        return std::move(file_);
    }

    void read_window(int64_t x, int64_t y, int64_t width, int64_t height, uint8_t* out) override
    {
        const size_t pixel = pixel_bytes();
        if (native_) {
            reader_->read_blocks(plan_, TiffReader::Keep{x, y, x + width, y + height}, out, width * pixel);
            return;
        }
        for (int64_t r = 0; r < height; ++r)
            std::memcpy(out + static_cast<size_t>(r) * width * pixel, band_row(y + r) + x * pixel, width * pixel);
    }

protected:
    void read_rows(int64_t count, uint8_t* out) override
    {
        for (int64_t r = 0; r < count; ++r) std::memcpy(out + r * row_bytes(), band_row(next_ + r), row_bytes());
    }
    void skip_rows(int64_t count) override { next_ += count; }

private:
    [[noreturn]] void fail_band(const Input& input) const
    {
        fail(input.name(), "TIFF", "strip or tile does not fit in memory");
    }

    // Row y of the image, its band read where it is not the one held.
    const uint8_t* band_row(int64_t y)
    {
        const int64_t top = y / band_height_ * band_height_;
        if (top != band_top_) {
            band_top_ = -1;
            const int64_t bottom = std::min<int64_t>(top + band_height_, shape_.height);
            if (native_) {
                reader_->read_blocks(plan_, TiffReader::Keep{0, top, shape_.width, bottom}, band_.data(), row_bytes());
            } else {
                rgba_.row_offset = static_cast<int>(top);
                rgba_.col_offset = 0;
                if (!TIFFRGBAImageGet(&rgba_, raster_.data(), static_cast<uint32_t>(shape_.width),
                                      static_cast<uint32_t>(bottom - top)))
                    reader_->corrupt_or_truncated();
                reader_->store_rgba(raster_.data(), static_cast<size_t>(shape_.width) * (bottom - top), band_.data());
            }
            band_top_ = top;
        }
        return band_.data() + static_cast<size_t>(y - top) * row_bytes();
    }

    std::unique_ptr<InputFile> file_;
    std::unique_ptr<TiffReader> reader_;
    bool native_ = true;
    TiffReader::Native plan_;
    TIFFRGBAImage rgba_{};
    bool rgba_started_ = false;
    std::vector<uint32_t> raster_;
    int64_t band_height_ = 1;
    std::vector<uint8_t> band_;
    int64_t band_top_ = -1;  // the first row of the band held, -1 for none
};

}  // namespace

DecodedImage decode_tiff(Input& input)
{
    input.read_all("TIFF");
    TiffReader reader(input);
    check_first_directory(input, reader.file());
    return reader.read();
}

std::unique_ptr<RowReader> tiff_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options)
{
    auto rows = std::make_unique<TiffRows>(std::move(file));
    if (rows->start()) return rows;
    return whole_rows(rows->give_back(), options);
}

}  // namespace decode_detail
