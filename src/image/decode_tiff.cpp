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

#include <algorithm>
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

struct MemoryFile {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    std::string error;
};

tmsize_t on_read(thandle_t handle, void* out, tmsize_t count)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (count < 0) return -1;
    const size_t n = std::min(static_cast<size_t>(count), file->at < file->size ? file->size - file->at : 0);
    std::memcpy(out, file->data + file->at, n);
    file->at += n;
    return static_cast<tmsize_t>(n);
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

    DecodedImage read()
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
        DecodedImage image;
        image.format = "TIFF";
        read_metadata(&image.metadata);
        if (native()) {
            read_native(&image);
        } else {
            read_rgba(&image);
        }
        apply_orientation(&image, input_, layout_.orientation);
        return image;
    }

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

    bool native() const
    {
        const Layout& l = layout_;
        const bool kind = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE ||
                          l.photometric == PHOTOMETRIC_RGB;
        const bool samples = (l.sample_format == SAMPLEFORMAT_UINT && (l.bits == 8 || l.bits == 16)) ||
                             (l.sample_format == SAMPLEFORMAT_IEEEFP && l.bits == 32);
        return kind && samples && l.samples_per_pixel >= l.colours;
    }

    // Samples as stored, strip by strip or tile by tile, plane by plane.
    void read_native(DecodedImage* image)
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        const bool floating = l.sample_format == SAMPLEFORMAT_IEEEFP;
        const auto type = floating       ? lintrace::SampleType::DOUBLE
                          : l.bits == 16 ? lintrace::SampleType::UINT16
                                         : lintrace::SampleType::UINT8;
        const int channels = l.colours + (l.alpha_sample >= 0 ? 1 : 0);
        double float_max = 1;
        if (floating) {
            double stated = 0;
            if (TIFFGetField(t, TIFFTAG_SMAXSAMPLEVALUE, &stated) && stated > 0 && std::isfinite(stated))
                float_max = stated;
        }
        image->max_value = floating ? 255 : l.bits == 16 ? 65535 : 255;
        uint8_t* out = allocate_samples(image, input_, l.width, l.height, channels, type);

        const bool tiled = TIFFIsTiled(t);
        uint32_t block_width = l.width, block_height = 0;
        if (tiled) {
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
        if (tiled && (block_width > covering(l.width) || block_height > covering(l.height)))
            fail_here("tile of " + std::to_string(block_width) + " x " + std::to_string(block_height) +
                      " pixels is larger than its image of " + std::to_string(l.width) + " x " +
                      std::to_string(l.height) + " pixels");
        const bool planes = l.planar == PLANARCONFIG_SEPARATE;
        const int per_pixel = planes ? 1 : l.samples_per_pixel;
        const int bytes = l.bits / 8;
        const double block_bytes = static_cast<double>(block_width) * block_height * per_pixel * bytes;
        if (!input_.fits(block_bytes)) fail_here("strip or tile does not fit in memory");
        std::vector<uint8_t> block(static_cast<size_t>(block_bytes));
        const size_t out_pixel = static_cast<size_t>(channels) * sample_bytes(type);

        // Output channel k takes the file's sample source[k].
        int source[4];
        for (int k = 0; k < l.colours; ++k) source[k] = k;
        if (l.alpha_sample >= 0) source[l.colours] = l.alpha_sample;

        const int plane_count = planes ? channels : 1;
        for (int plane = 0; plane < plane_count; ++plane) {
            const uint16_t file_plane = static_cast<uint16_t>(planes ? source[plane] : 0);
            for (uint32_t y0 = 0; y0 < l.height; y0 += block_height)
                for (uint32_t x0 = 0; x0 < l.width; x0 += block_width) {
                    tmsize_t got;
                    if (tiled)
                        got = TIFFReadEncodedTile(t, TIFFComputeTile(t, x0, y0, 0, file_plane), block.data(),
                                                  static_cast<tmsize_t>(block.size()));
                    else
                        got = TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y0, file_plane), block.data(),
                                                   static_cast<tmsize_t>(block.size()));
                    const uint32_t rows = std::min(block_height, l.height - y0);
                    const uint32_t columns = std::min(block_width, l.width - x0);
                    const double needed = (static_cast<double>(rows - 1) * block_width + columns) * per_pixel * bytes;
                    if (got < 0 || static_cast<double>(got) < needed) corrupt_or_truncated();
                    for (uint32_t r = 0; r < rows; ++r)
                        for (uint32_t c = 0; c < columns; ++c) {
                            const uint8_t* in =
                                block.data() + (static_cast<size_t>(r) * block_width + c) * per_pixel * bytes;
                            uint8_t* to = out + static_cast<size_t>(y0 + r) * image->row_stride + (x0 + c) * out_pixel;
                            for (int k = 0; k < channels; ++k) {
                                if (planes && k != plane) continue;
                                const uint8_t* s = in + (planes ? 0 : source[k]) * bytes;
                                const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE && k < l.colours;
                                store(s, to, k, type, invert, float_max);
                            }
                        }
                }
        }
        // The detector's arithmetic is defined on finite levels only.
        if (floating) {
            const auto* levels = reinterpret_cast<const double*>(out);
            for (int64_t k = 0; k < image->width * image->height * channels; ++k)
                if (!std::isfinite(levels[k])) fail_here("sample is not a finite number");
        }
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

    [[noreturn]] void corrupt_or_truncated() const
    {
        if (file_.error.empty()) fail_here("data is truncated (a strip or tile is shorter than the image needs)");
        corrupt();
    }

    // libtiff's RGBA reader, in the stored row order (the orientation is
    // applied afterwards, as for every TIFF). Its alpha is premultiplied, so
    // an image with alpha is composited over white here, into grey levels.
    void read_rgba(DecodedImage* image)
    {
        TIFF* t = tiff_.get();
        const Layout& l = layout_;
        if (l.bits > 8)
            fail_here("image of " + std::to_string(l.bits) + "-bit samples with photometric interpretation " +
                      std::to_string(l.photometric) + " is not read");
        char reason[1024] = {};
        if (!TIFFRGBAImageOK(t, reason)) fail_here(std::string("image is not read (") + reason + ")");
        const double pixels = static_cast<double>(l.width) * l.height;
        if (!input_.fits(pixels * 4))
            fail_here("image of " + std::to_string(l.width) + " x " + std::to_string(l.height) +
                      " pixels does not fit in memory");
        std::unique_ptr<uint32_t[]> raster(new uint32_t[static_cast<size_t>(pixels)]);
        const bool grey = l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
        const bool alpha = l.alpha_sample >= 0;
        // Rows as stored: asking for the file's own orientation leaves them unturned.
        if (!TIFFReadRGBAImageOriented(t, l.width, l.height, raster.get(), l.orientation, 1)) corrupt_or_truncated();
        const int channels = grey ? 1 : 3;
        const auto type = alpha ? lintrace::SampleType::DOUBLE : lintrace::SampleType::UINT8;
        image->max_value = 255;
        uint8_t* out = allocate_samples(image, input_, l.width, l.height, channels, type);
        for (size_t p = 0; p < static_cast<size_t>(pixels); ++p) {
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

    Input& input_;
    MemoryFile file_;
    std::unique_ptr<TIFF, TiffCloser> tiff_;
    Layout layout_;
};

// Whether the file holds the whole of its first directory (the header's
// offset, the count of entries, the entries): a file cut before its end is
// truncated, which libtiff would only call an unreadable directory.
bool first_directory_is_whole(const Input& input)
{
    const uint8_t* d = input.data();
    const size_t size = input.size();
    const bool big_endian = d[0] == 'M';
    const bool big_tiff = d[big_endian ? 3 : 2] == 43;
    auto number = [&](uint64_t at, size_t bytes, uint64_t* value) {
        if (at > size || size - at < bytes) return false;
        *value = read_unsigned(d + at, bytes, big_endian);
        return true;
    };
    const size_t offset_bytes = big_tiff ? 8 : 4, count_bytes = big_tiff ? 8 : 2, entry_bytes = big_tiff ? 20 : 12;
    uint64_t directory = 0, entries = 0;
    if (!number(big_tiff ? 8 : 4, offset_bytes, &directory) || !number(directory, count_bytes, &entries)) return false;
    const double end = static_cast<double>(directory) + count_bytes + static_cast<double>(entries) * entry_bytes;
    return end <= static_cast<double>(size);
}

}  // namespace

DecodedImage decode_tiff(Input& input)
{
    input.read_all("TIFF");
    if (!first_directory_is_whole(input))
        fail(input.name(), "TIFF", "data is truncated (the file ends before its first directory does)");
    TiffReader reader(input);
    return reader.read();
}

}  // namespace decode_detail
