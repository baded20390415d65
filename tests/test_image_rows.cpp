// Images read by rows and by windows: the rows of every format and layout
// are read_image's, sample for sample and with the same metadata, in bands
// of any height; a window is read_image's samples there; damage found while
// rows are read is an ImageError naming the file; and a large tiled BigTIFF
// is read by rows holding a band, not the image.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "helpers.h"
#include "image_files.h"
#include "lintrace/image.h"

namespace {

constexpr int WIDTH = 37;
constexpr int HEIGHT = 23;

// Samples of `channels` a pixel in 0..top, with the pixels of a picture (edges across it) and noise.
std::vector<double> picture(int channels, double top, int width = WIDTH, int height = HEIGHT)
{
    std::mt19937 random(11);
    std::vector<double> samples(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int k = 0; k < channels; ++k)
                samples[(static_cast<size_t>(y) * width + x) * channels + k] =
                    std::floor(top * (((x / 5 + y / 4 + k) % 3) * 0.4 + (random() % 100) / 600.0));
    return samples;
}

template <typename T>
std::vector<T> as(const std::vector<double>& samples)
{
    return std::vector<T>(samples.begin(), samples.end());
}

std::string netpbm(const std::string& magic, int channels, int max_value, bool plain, const std::string& tuple = "")
{
    const std::vector<double> s = picture(channels, max_value);
    std::string bytes = magic == "P7" ? "P7\nWIDTH " + std::to_string(WIDTH) + "\nHEIGHT " + std::to_string(HEIGHT) +
                                            "\nDEPTH " + std::to_string(channels) + "\nMAXVAL " +
                                            std::to_string(max_value) + "\nTUPLTYPE " + tuple + "\nENDHDR\n"
                                      : magic + "\n# made here\n" + std::to_string(WIDTH) + " " +
                                            std::to_string(HEIGHT) + "\n" + std::to_string(max_value) + "\n";
    for (size_t k = 0; k < s.size(); ++k) {
        const unsigned v = static_cast<unsigned>(s[k]);
        if (plain) {
            bytes += std::to_string(v) + (k % 17 == 16 ? "\n" : " ");
        } else {
            if (max_value > 255) bytes += static_cast<char>(v >> 8);
            bytes += static_cast<char>(v & 0xff);
        }
    }
    return bytes;
}

std::string bitmap(bool plain)
{
    const std::vector<double> s = picture(1, 1.9);
    std::string bytes = std::string(plain ? "P1" : "P4") + " " + std::to_string(WIDTH) + " " + std::to_string(HEIGHT) + "\n";
    for (int y = 0; y < HEIGHT; ++y) {
        uint8_t byte = 0;
        for (int x = 0; x < WIDTH; ++x) {
            const bool black = s[static_cast<size_t>(y) * WIDTH + x] > 0;
            if (plain) bytes += black ? "1" : "0";
            byte = static_cast<uint8_t>(byte | (black ? 0x80 >> (x % 8) : 0));
            if (!plain && (x % 8 == 7 || x == WIDTH - 1)) {
                bytes += static_cast<char>(byte);
                byte = 0;
            }
        }
        if (plain) bytes += "\n";
    }
    return bytes;
}

std::string tiff(int channels, const TiffLayout& layout)
{
    TiffLayout l = layout;
    l.channels = channels;
    return tiff_file(picture(channels, l.bits == 16 ? 65535 : 255), WIDTH, HEIGHT, l);
}

struct ImageFile {
    const char* what;
    std::string bytes;
    bool streamed;  // rows come from the file as they are asked for
    int page = 0;
};

std::vector<ImageFile> every_format_and_layout()
{
    const auto grey = picture(1, 255);
    std::vector<double> few_colours = picture(3, 5.99);
    for (double& v : few_colours) v *= 51;
    TiffLayout tiled;
    tiled.tiled = true;
    TiffLayout planes;
    planes.planes = true;
    TiffLayout tiled_planes_alpha;
    tiled_planes_alpha.tiled = tiled_planes_alpha.planes = tiled_planes_alpha.alpha = true;
    TiffLayout wide_lzw_tiles;
    wide_lzw_tiles.bits = 16;
    wide_lzw_tiles.tiled = true;
    wide_lzw_tiles.compression = COMPRESSION_LZW;
    TiffLayout floating;
    floating.bits = 32;
    TiffLayout floating_tiles = floating;
    floating_tiles.tiled = true;
    TiffLayout palette;
    palette.photometric = PHOTOMETRIC_PALETTE;
    TiffLayout palette_tiles = palette;
    palette_tiles.tiled = true;
    palette_tiles.tile = 32;
    TiffLayout palette_small_tiles = palette_tiles;
    palette_small_tiles.tile = 16;
    TiffLayout min_is_white;
    min_is_white.photometric = PHOTOMETRIC_MINISWHITE;
    min_is_white.strip_rows = 5;
    TiffLayout cmyk;
    cmyk.photometric = PHOTOMETRIC_SEPARATED;
    TiffLayout one_strip;
    one_strip.strip_rows = HEIGHT;
    one_strip.compression = COMPRESSION_ADOBE_DEFLATE;
    TiffLayout big_tiles = wide_lzw_tiles;
    big_tiles.big = true;
    big_tiles.tile = 32;
    TiffLayout big_strips;
    big_strips.big = true;
    TiffLayout pages;
    pages.pages = 3;
    TiffLayout turned;
    turned.orientation = 6;
    return {
        {"plain PBM", bitmap(true), true},
        {"raw PBM", bitmap(false), true},
        {"plain PGM", netpbm("P2", 1, 255, true), true},
        {"plain PGM of 16 bits", netpbm("P2", 1, 4000, true), true},
        {"plain PPM", netpbm("P3", 3, 200, true), true},
        {"raw PGM", netpbm("P5", 1, 255, false), true},
        {"raw PGM of 16 bits", netpbm("P5", 1, 65535, false), true},
        {"raw PPM", netpbm("P6", 3, 255, false), true},
        {"raw PPM of 16 bits", netpbm("P6", 3, 1023, false), true},
        {"PAM grey and alpha", netpbm("P7", 2, 255, false, "GRAYSCALE_ALPHA"), true},
        {"PAM RGBA of 16 bits", netpbm("P7", 4, 65535, false, "RGB_ALPHA"), true},
        {"PNG grey", png_file(as<uint16_t>(grey), WIDTH, HEIGHT, 1, 8), true},
        {"PNG grey of 2 bits", png_file(as<uint16_t>(picture(1, 3.99)), WIDTH, HEIGHT, 1, 2), true},
        {"PNG grey and alpha", png_file(as<uint16_t>(picture(2, 255)), WIDTH, HEIGHT, 2, 8), true},
        {"PNG RGB", png_file(as<uint16_t>(picture(3, 255)), WIDTH, HEIGHT, 3, 8), true},
        {"PNG RGBA of 16 bits", png_file(as<uint16_t>(picture(4, 65535)), WIDTH, HEIGHT, 4, 16), true},
        {"PNG grey of 16 bits", png_file(as<uint16_t>(picture(1, 65535)), WIDTH, HEIGHT, 1, 16), true},
        {"PNG palette", png_file(as<uint16_t>(few_colours), WIDTH, HEIGHT, 3, 8, false, true), true},
        {"PNG interlaced", png_file(as<uint16_t>(picture(3, 255)), WIDTH, HEIGHT, 3, 8, true), false},
        {"JPEG grey", jpeg_file(as<uint8_t>(grey), WIDTH, HEIGHT, 1, 90), true},
        {"JPEG colour", jpeg_file(as<uint8_t>(picture(3, 255)), WIDTH, HEIGHT, 3, 85), true},
        {"JPEG progressive", jpeg_file(as<uint8_t>(picture(3, 255)), WIDTH, HEIGHT, 3, 85, true), true},
        {"JPEG turned by EXIF", jpeg_file(as<uint8_t>(grey), WIDTH, HEIGHT, 1, 90, false, 6), false},
        {"JPEG of EXIF orientation 1", jpeg_file(as<uint8_t>(grey), WIDTH, HEIGHT, 1, 90, false, 1), true},
        {"TIFF grey strips", tiff(1, TiffLayout{}), true},
        {"TIFF RGB tiles", tiff(3, tiled), true},
        {"TIFF RGB planes", tiff(3, planes), true},
        {"TIFF RGBA tiled planes", tiff(4, tiled_planes_alpha), true},
        {"TIFF grey of 16 bits in LZW tiles", tiff(1, wide_lzw_tiles), true},
        {"TIFF float strips", tiff(1, floating), true},
        {"TIFF float RGB tiles", tiff(3, floating_tiles), true},
        {"TIFF palette strips", tiff(1, palette), true},
        {"TIFF palette tiles", tiff(1, palette_tiles), true},
        // libtiff reads uncompressed tiles of other than a multiple of 1024 bytes only from memory.
        {"TIFF palette tiles of 256 bytes", tiff(1, palette_small_tiles), false},
        {"TIFF min-is-white", tiff(1, min_is_white), true},
        {"TIFF CMYK", tiff(4, cmyk), true},
        {"TIFF one deflated strip", tiff(3, one_strip), true},
        {"BigTIFF tiles", tiff(1, big_tiles), true},
        {"BigTIFF strips", tiff(3, big_strips), true},
        {"TIFF page 2 of 3", tiff(1, pages), true, 1},
        {"TIFF turned by its Orientation", tiff(1, turned), false},
    };
}

std::string save(const std::string& bytes, const std::string& name)
{
    const std::string path = scratch_directory() + "/" + name;
    write_file_bytes(path, bytes);
    return path;
}

void expect_same_metadata(const lintrace::ImageMetadata& a, const lintrace::ImageMetadata& b)
{
    EXPECT_EQ(a.orientation, b.orientation);
    EXPECT_EQ(a.page, b.page);
    EXPECT_EQ(a.page_count, b.page_count);
    ASSERT_EQ(a.resolution.has_value(), b.resolution.has_value());
    if (a.resolution) {
        EXPECT_EQ(a.resolution->x, b.resolution->x);
        EXPECT_EQ(a.resolution->y, b.resolution->y);
        EXPECT_EQ(a.resolution->unit, b.resolution->unit);
    }
    EXPECT_EQ(a.geotiff.pixel_scale, b.geotiff.pixel_scale);
    EXPECT_EQ(a.geotiff.tiepoints, b.geotiff.tiepoints);
    EXPECT_EQ(a.geotiff.transformation, b.geotiff.transformation);
    EXPECT_EQ(a.geotiff.key_directory, b.geotiff.key_directory);
    EXPECT_EQ(a.geotiff.double_params, b.geotiff.double_params);
    EXPECT_EQ(a.geotiff.ascii_params, b.geotiff.ascii_params);
}

// Row y of an image, as packed bytes.
std::string row_of(const lintrace::Image& image, int64_t y, int64_t x = 0, int64_t width = -1)
{
    const size_t pixel = static_cast<size_t>(image.channels) * lintrace::sample_bytes(image.type);
    if (width < 0) width = image.width;
    return std::string(static_cast<const char*>(image.samples) + y * image.row_stride + x * pixel, width * pixel);
}

TEST(ImageRows, RowsInBandsOfAnyHeightAreReadImagesRowsForEveryFormatAndLayout)
{
    for (const ImageFile& file : every_format_and_layout()) {
        SCOPED_TRACE(file.what);
        const std::string path = save(file.bytes, "rows");
        lintrace::ReadOptions options;
        options.page = file.page;
        const lintrace::Image whole = lintrace::read_image(path, options);
        for (const int64_t band : {int64_t{1}, int64_t{7}, whole.height}) {
            SCOPED_TRACE("bands of " + std::to_string(band) + " rows");
            const std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(path, options);
            const lintrace::ImageView shape = rows->shape();
            EXPECT_EQ(rows->streamed(), file.streamed);
            EXPECT_STREQ(rows->format(), whole.format);
            ASSERT_EQ(shape.width, whole.width);
            ASSERT_EQ(shape.height, whole.height);
            ASSERT_EQ(shape.channels, whole.channels);
            ASSERT_EQ(shape.type, whole.type);
            EXPECT_EQ(shape.max_value, whole.max_value);
            expect_same_metadata(rows->metadata(), whole.metadata);
            const size_t row_bytes = static_cast<size_t>(shape.width) * shape.channels * lintrace::sample_bytes(shape.type);
            std::vector<char> buffer(row_bytes * band);
            for (int64_t y = 0; y < shape.height; y += band) {
                const int64_t count = std::min(band, shape.height - y);
                rows->read(count, buffer.data());
                for (int64_t r = 0; r < count; ++r)
                    ASSERT_EQ(std::string(buffer.data() + r * row_bytes, row_bytes), row_of(whole, y + r))
                        << "row " << y + r;
            }
            EXPECT_THROW(rows->read(1, buffer.data()), std::invalid_argument);
        }
    }
}

TEST(ImageRows, AWindowIsReadImagesSamplesThereClippedToTheImage)
{
    struct Window {
        int64_t x, y, width, height;
    };
    for (const ImageFile& file : every_format_and_layout()) {
        SCOPED_TRACE(file.what);
        const std::string path = save(file.bytes, "window");
        lintrace::ReadOptions options;
        options.page = file.page;
        const lintrace::Image whole = lintrace::read_image(path, options);
        const int64_t width = whole.width, height = whole.height;
        const Window windows[] = {
            {0, 0, 5, 4},                        // the top left corner
            {width - 6, height - 3, 6, 3},       // the bottom right corner
            {9, 5, 13, 11},                      // inside, across strips and tiles
            {-4, -3, 8, 6},                      // clipped at the top left
            {width - 7, height - 5, 100, 100},   // clipped at the bottom right
            {-1, 10, width + 2, 1},              // one row, clipped on both sides
        };
        for (const Window& w : windows) {
            SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) + " at " + std::to_string(w.x) +
                         ", " + std::to_string(w.y));
            const lintrace::Image window = lintrace::read_image_window(path, w.x, w.y, w.width, w.height, options);
            const int64_t left = std::max<int64_t>(w.x, 0), top = std::max<int64_t>(w.y, 0);
            ASSERT_EQ(window.width, std::min<int64_t>(w.x + w.width, whole.width) - left);
            ASSERT_EQ(window.height, std::min<int64_t>(w.y + w.height, whole.height) - top);
            EXPECT_EQ(window.channels, whole.channels);
            EXPECT_EQ(window.type, whole.type);
            EXPECT_EQ(window.max_value, whole.max_value);
            EXPECT_STREQ(window.format, whole.format);
            expect_same_metadata(window.metadata, whole.metadata);
            for (int64_t r = 0; r < window.height; ++r)
                ASSERT_EQ(row_of(window, r), row_of(whole, top + r, left, window.width)) << "row " << r;
        }
        for (const Window& w : {Window{width, 0, 5, 5}, Window{-10, -10, 10, 10}, Window{0, height, 1, 1},
                                Window{3, 3, 0, 5}, Window{3, 3, 5, -1}})
            EXPECT_THROW(lintrace::read_image_window(path, w.x, w.y, w.width, w.height, options), std::invalid_argument);
    }
}

// A TIFF of one grey plane in strips of 4 rows, its directory first and its
// strips after it, so that a file cut short keeps its directory and loses
// strips.
std::string tiff_with_directory_first(int width, int height)
{
    const int strip_rows = 4;
    const int strips = (height + strip_rows - 1) / strip_rows;
    std::string b("II*\0\x08\0\0\0", 8);
    auto u16 = [&](unsigned v) { b += static_cast<char>(v & 0xff), b += static_cast<char>(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
    const int entries = 9;
    const uint32_t arrays = 8 + 2 + entries * 12 + 4;
    const uint32_t data = arrays + 8 * strips;
    auto entry = [&](unsigned tag, unsigned type, uint32_t count, uint32_t value) {
        u16(tag), u16(type), u32(count);
        if (type == 3 && count == 1)
            u16(value), u16(0);
        else
            u32(value);
    };
    u16(entries);
    entry(256, 3, 1, width);
    entry(257, 3, 1, height);
    entry(258, 3, 1, 8);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 1);
    entry(273, 4, strips, arrays);
    entry(277, 3, 1, 1);
    entry(278, 3, 1, strip_rows);
    entry(279, 4, strips, arrays + 4 * strips);
    u32(0);
    for (int s = 0; s < strips; ++s) u32(data + s * strip_rows * width);
    for (int s = 0; s < strips; ++s) u32(std::min(strip_rows, height - s * strip_rows) * width);
    for (int k = 0; k < width * height; ++k) b += static_cast<char>(k * 7);
    return b;
}

TEST(ImageRows, DamageFoundWhileRowsAreReadIsAnImageErrorNamingTheFile)
{
    const std::string pgm = netpbm("P5", 1, 255, false);
    const std::string plain = netpbm("P2", 1, 255, true);
    const std::string png = png_file(as<uint16_t>(picture(3, 255)), WIDTH, HEIGHT, 3, 8);
    const std::string jpeg = jpeg_file(as<uint8_t>(picture(1, 255)), WIDTH, HEIGHT, 1, 90);
    const std::string tiff = tiff_with_directory_first(WIDTH, HEIGHT);
    struct Damaged {
        const char* what;
        std::string bytes;
        const char* message;
    };
    const Damaged cases[] = {
        {"raw PGM", pgm.substr(0, pgm.size() - WIDTH * 5), "PGM data is truncated"},
        {"plain PGM", plain.substr(0, plain.size() * 2 / 3), "PGM data is truncated"},
        {"PNG", png.substr(0, png.size() * 2 / 3), "PNG data is truncated"},
        {"JPEG", jpeg.substr(0, jpeg.size() * 2 / 3), "JPEG data is truncated"},
        {"TIFF strips", tiff.substr(0, tiff.size() - WIDTH * 6), "TIFF data is truncated"},
    };
    ASSERT_NO_THROW(lintrace::read_image(save(tiff, "whole.tif")));
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = save(c.bytes, "damaged");
        const std::string named = path + ": " + c.message;
        for (const bool from_standard_input : {false, true}) {
            SCOPED_TRACE(from_standard_input ? "from the standard input" : "from the file");
            std::string message = "(read)";
            int64_t rows_read = 0;
            std::unique_ptr<lintrace::ImageRows> rows;
            try {
                if (from_standard_input) {
                    std::FILE* in = std::freopen(path.c_str(), "rb", stdin);
                    ASSERT_NE(in, nullptr);
                    rows = lintrace::open_image_rows("-");
                } else {
                    rows = lintrace::open_image_rows(path);
                }
                const lintrace::ImageView shape = rows->shape();
                std::vector<char> row(static_cast<size_t>(shape.width) * shape.channels * lintrace::sample_bytes(shape.type));
                for (; rows_read < shape.height; ++rows_read) rows->read(1, row.data());
            } catch (const lintrace::ImageError& e) {
                message = e.what();
            }
            if (rows && rows_read < rows->shape().height) {
                // A reader that failed fails again the same way, never reading past the damage.
                std::vector<char> row(static_cast<size_t>(rows->shape().width) * rows->shape().channels *
                                      lintrace::sample_bytes(rows->shape().type));
                try {
                    rows->read(1, row.data());
                    ADD_FAILURE() << "a row was read after the failure";
                } catch (const lintrace::ImageError& e) {
                    EXPECT_EQ(e.what(), message);
                }
            }
            const std::string name = from_standard_input ? "standard input: " + std::string(c.message) : named;
            EXPECT_EQ(message.substr(0, name.size()), name);
        }
    }
}

// Resident memory's peak since the last reset, in bytes; -1 where the system does not tell.
long long peak_resident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return -1;
}

bool reset_peak_resident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

TEST(ImageRows, ALargeTiledBigTiffIsReadByRowsHoldingABandNotTheImage)
{
    // 20000 x 20000 grey pixels (400 MB) in tiles of 256 x 256, deflated:
    // four kinds of tile, each compressed once and written as often as the
    // image needs, so that the file of a few megabytes is quick to make.
    constexpr uint32_t SIDE = 20000, TILE = 256;
    const auto level = [](uint32_t x, uint32_t y) {
        const uint32_t kind = (x / TILE + 2 * (y / TILE)) % 4;
        return static_cast<uint8_t>(kind * 50 + (x % TILE) / 8 + (y % TILE) / 16);
    };
    std::vector<std::vector<uint8_t>> compressed(4);
    for (uint32_t kind = 0; kind < 4; ++kind) {
        std::vector<uint8_t> tile(TILE * TILE);
        for (uint32_t y = 0; y < TILE; ++y)
            for (uint32_t x = 0; x < TILE; ++x) tile[y * TILE + x] = level(x + TILE * (kind % 2), y + TILE * (kind / 2));
        uLongf size = compressBound(tile.size());
        compressed[kind].resize(size);
        ASSERT_EQ(compress2(compressed[kind].data(), &size, tile.data(), tile.size(), 9), Z_OK);
        compressed[kind].resize(size);
    }
    const std::string path = scratch_directory() + "/large.tif";
    TIFF* out = TIFFOpen(path.c_str(), "w8");
    ASSERT_NE(out, nullptr);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, SIDE);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, SIDE);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(out, TIFFTAG_TILEWIDTH, TILE);
    TIFFSetField(out, TIFFTAG_TILELENGTH, TILE);
    for (uint32_t y0 = 0; y0 < SIDE; y0 += TILE)
        for (uint32_t x0 = 0; x0 < SIDE; x0 += TILE) {
            std::vector<uint8_t>& tile = compressed[(x0 / TILE + 2 * (y0 / TILE)) % 4];
            ASSERT_GT(TIFFWriteRawTile(out, TIFFComputeTile(out, x0, y0, 0, 0), tile.data(), tile.size()), 0);
        }
    ASSERT_TRUE(TIFFWriteDirectory(out));
    TIFFClose(out);

    if (!reset_peak_resident() || peak_resident() < 0) GTEST_SKIP() << "the system does not reset the peak of resident memory";
    const long long before = peak_resident();
    {
        const std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(path);
        ASSERT_TRUE(rows->streamed());
        ASSERT_EQ(rows->shape().width, int64_t{SIDE});
        ASSERT_EQ(rows->shape().height, int64_t{SIDE});
        constexpr int64_t BAND = 7;
        std::vector<uint8_t> band(SIDE * BAND);
        for (int64_t y = 0; y < SIDE; y += BAND) {
            const int64_t count = std::min<int64_t>(BAND, SIDE - y);
            rows->read(count, band.data());
            for (int64_t r = 0; r < count; ++r)
                for (uint32_t x = 0; x < SIDE; x += 97)
                    ASSERT_EQ(band[r * SIDE + x], level(x, static_cast<uint32_t>(y + r))) << x << ", " << y + r;
        }
    }
    const long long growth = peak_resident() - before;
    // The image is 400 MB; a band of tiles is 5 MB.
    EXPECT_LT(growth, 40ll << 20);
}

}  // namespace
