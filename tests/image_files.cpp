#include "image_files.h"

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <cstdio>

#include <csetjmp>
#include <cstring>
#include <map>
#include <stdexcept>

#include "helpers.h"

namespace {

void append(png_structp png, png_bytep data, size_t size)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

[[noreturn]] void png_failed(png_structp, png_const_charp message)
{
    throw std::runtime_error(std::string("libpng: ") + message);
}

std::string exif_marker(int orientation, bool motorola)
{
    // "Exif\0\0", a TIFF header, one directory holding the orientation as a SHORT.
    std::string e("Exif\0\0", 6);
    auto u16 = [&](unsigned v) {
        if (motorola) {
            e += static_cast<char>(v >> 8);
            e += static_cast<char>(v & 0xff);
        } else {
            e += static_cast<char>(v & 0xff);
            e += static_cast<char>(v >> 8);
        }
    };
    auto u32 = [&](uint32_t v) {
        if (motorola) {
            u16(v >> 16);
            u16(v & 0xffff);
        } else {
            u16(v & 0xffff);
            u16(v >> 16);
        }
    };
    e += motorola ? "MM" : "II";
    u16(42);
    u32(8);
    u16(2);       // entries
    u16(0x010f);  // Make, ASCII, 4 bytes in place
    u16(2);
    u32(4);
    e += std::string("Cam\0", 4);
    u16(0x0112);
    u16(3);
    u32(1);
    u16(static_cast<unsigned>(orientation));
    u16(0);
    u32(0);
    return e;
}

}  // namespace

std::string png_file(const std::vector<uint16_t>& samples, int width, int height, int channels, int bits,
                     bool interlaced, bool palette)
{
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &bytes, append, nullptr);
    static const int types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                PNG_COLOR_TYPE_RGB_ALPHA};
    std::vector<std::vector<png_byte>> rows(height);
    if (palette) {
        std::map<uint32_t, int> index;
        std::vector<png_color> colours;
        for (size_t p = 0; p < samples.size() / 3; ++p) {
            const uint32_t key = samples[3 * p] << 16 | samples[3 * p + 1] << 8 | samples[3 * p + 2];
            if (index.emplace(key, static_cast<int>(colours.size())).second)
                colours.push_back(png_color{static_cast<png_byte>(samples[3 * p]),
                                            static_cast<png_byte>(samples[3 * p + 1]),
                                            static_cast<png_byte>(samples[3 * p + 2])});
        }
        if (colours.size() > 256) throw std::runtime_error("more than 256 colours");
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE,
                     interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
        png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c) {
                const size_t p = static_cast<size_t>(r) * width + c;
                rows[r].push_back(
                    static_cast<png_byte>(index[samples[3 * p] << 16 | samples[3 * p + 1] << 8 | samples[3 * p + 2]]));
            }
    } else {
        png_set_IHDR(png, info, width, height, bits, types[channels],
                     interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
        for (int r = 0; r < height; ++r) {
            std::vector<png_byte>& row = rows[r];
            row.assign((static_cast<size_t>(width) * channels * bits + 7) / 8, 0);
            for (int k = 0; k < width * channels; ++k) {
                const unsigned v = samples[static_cast<size_t>(r) * width * channels + k];
                if (bits == 16) {
                    row[2 * k] = static_cast<png_byte>(v >> 8);
                    row[2 * k + 1] = static_cast<png_byte>(v & 0xff);
                } else {
                    const int bit = k * bits;
                    row[bit / 8] |= static_cast<png_byte>(v << (8 - bits - bit % 8));
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::string jpeg_file(const std::vector<uint8_t>& samples, int width, int height, int channels, int quality,
                      bool progressive, int orientation, bool motorola)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = channels;
    info.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    if (orientation > 0) {
        const std::string marker = exif_marker(orientation, motorola);
        jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(marker.data()),
                          static_cast<unsigned>(marker.size()));
    }
    while (info.next_scanline < info.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(samples.data() + static_cast<size_t>(info.next_scanline) * width * channels);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    free(buffer);
    return bytes;
}

std::string jpeg_of_scans(const std::vector<uint8_t>& samples, int width, int height, int scans)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    // The DC coefficients, then the AC ones: {components, indices, Ss, Se, Ah, Al}.
    static const jpeg_scan_info script[2] = {{1, {0, 0, 0, 0}, 0, 0, 0, 0}, {1, {0, 0, 0, 0}, 1, 63, 0, 0}};
    info.scan_info = script;
    info.num_scans = 2;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + static_cast<size_t>(info.next_scanline) * width);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<char*>(buffer), size);
    free(buffer);
    // The second scan runs from its SOS marker to the EOI marker at the end.
    const size_t first = bytes.find("\xff\xda");
    const size_t second = bytes.find("\xff\xda", first + 2);
    const std::string ac_scan = bytes.substr(second, bytes.size() - 2 - second);
    std::string repeated = bytes.substr(0, second);
    for (int k = 1; k < scans; ++k) repeated += ac_scan;
    return repeated + "\xff\xd9";
}

std::string tiff_file(const std::vector<double>& samples, int width, int height, const TiffLayout& layout)
{
    const std::string path = scratch_directory() + "/made.tif";
    TIFF* tiff = TIFFOpen(path.c_str(), layout.big ? "w8" : "w");
    if (tiff == nullptr) throw std::runtime_error("TIFFOpen");
    const int bytes = layout.bits / 8;
    const int n = layout.channels;
    for (int page = 0; page < layout.pages; ++page) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, n);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, layout.bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
        const int colours = layout.alpha ? n - 1 : n;
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     layout.photometric >= 0 ? layout.photometric
                     : colours >= 3          ? PHOTOMETRIC_RGB
                                             : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, layout.planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression);
        if (layout.alpha) {
            uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        if (layout.pages > 1) TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (layout.orientation != 1) TIFFSetField(tiff, TIFFTAG_ORIENTATION, layout.orientation);
        std::vector<uint16_t> grey_map(256);
        for (int k = 0; k < 256; ++k) grey_map[k] = static_cast<uint16_t>(k * 257);
        if (layout.photometric == PHOTOMETRIC_PALETTE)
            TIFFSetField(tiff, TIFFTAG_COLORMAP, grey_map.data(), grey_map.data(), grey_map.data());
        // The samples of a pixel x, y, channel k, as stored.
        auto put = [&](uint8_t* to, int x, int y, int k) {
            const double v = page == 0 ? samples[(static_cast<size_t>(y) * width + x) * n + k] : 0;
            if (layout.bits == 8) *to = static_cast<uint8_t>(v);
            if (layout.bits == 16) {
                const uint16_t s = static_cast<uint16_t>(v);
                std::memcpy(to, &s, 2);
            }
            if (layout.bits == 32) {
                const float f = static_cast<float>(v);
                std::memcpy(to, &f, 4);
            }
        };
        const int planes = layout.planes ? n : 1;
        const int per_pixel = layout.planes ? 1 : n;
        if (layout.tiled) {
            const int side = layout.tile;
            TIFFSetField(tiff, TIFFTAG_TILEWIDTH, side);
            TIFFSetField(tiff, TIFFTAG_TILELENGTH, side);
            std::vector<uint8_t> tile(static_cast<size_t>(side) * side * per_pixel * bytes);
            for (int plane = 0; plane < planes; ++plane)
                for (int y0 = 0; y0 < height; y0 += side)
                    for (int x0 = 0; x0 < width; x0 += side) {
                        std::fill(tile.begin(), tile.end(), 0);
                        for (int y = y0; y < std::min(height, y0 + side); ++y)
                            for (int x = x0; x < std::min(width, x0 + side); ++x)
                                for (int k = 0; k < per_pixel; ++k)
                                    put(&tile[((static_cast<size_t>(y - y0) * side + (x - x0)) * per_pixel + k) *
                                              bytes],
                                        x, y, layout.planes ? plane : k);
                        TIFFWriteTile(tiff, tile.data(), x0, y0, 0, static_cast<uint16_t>(plane));
                    }
        } else {
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.strip_rows);
            std::vector<uint8_t> row(static_cast<size_t>(width) * per_pixel * bytes);
            for (int plane = 0; plane < planes; ++plane)
                for (int y = 0; y < height; ++y) {
                    for (int x = 0; x < width; ++x)
                        for (int k = 0; k < per_pixel; ++k)
                            put(&row[(static_cast<size_t>(x) * per_pixel + k) * bytes], x, y,
                                layout.planes ? plane : k);
                    TIFFWriteScanline(tiff, row.data(), y, static_cast<uint16_t>(plane));
                }
        }
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return read_file(path);
}
