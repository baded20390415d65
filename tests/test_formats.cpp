// Input images of every format: the same picture saved in each gives the
// same grey levels, narrow and wide samples keep their meaning, colour is
// traced on its luma, EXIF orientation turns a JPEG as viewers show it, and
// every damaged file is refused with a message naming it, the format and the
// reason, the decoders printing nothing themselves.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>
#include <random>

#include "helpers.h"
#include "image_files.h"
#include "lintrace/image.h"
#include "lintrace/lintrace.h"
#include "outfile.h"
#include "overlay.h"
#include "pngout.h"

using lintrace::SampleType;

namespace {

// The grey levels the detector traces for a file's image.
std::vector<double> grey_levels(const lintrace::Image& image)
{
    return lintrace::grey_levels(image.view());
}

constexpr int WIDTH = 37;
constexpr int HEIGHT = 23;

std::vector<uint8_t> grey_picture(int width = WIDTH, int height = HEIGHT, int levels = 256)
{
    std::mt19937 random(7);
    std::vector<uint8_t> samples(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            samples[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>(((x / 6 + y / 5) % 2 ? 200 : 30) + random() % 20) % levels;
    return samples;
}

std::string netpbm_raster(const std::vector<uint8_t>& samples)
{
    return std::string(samples.begin(), samples.end());
}

std::string save(const std::string& bytes, const std::string& name = "image")
{
    const std::string path = scratch_directory() + "/" + name;
    write_file_bytes(path, bytes);
    return path;
}

lintrace::Image decode_bytes(const std::string& bytes, const std::string& name = "image")
{
    return lintrace::read_image(save(bytes, name));
}

template <typename T>
std::vector<double> as_levels(const std::vector<T>& samples)
{
    return std::vector<double>(samples.begin(), samples.end());
}

std::vector<uint16_t> wide(const std::vector<uint8_t>& samples, unsigned factor = 1)
{
    std::vector<uint16_t> out;
    for (uint8_t v : samples) out.push_back(static_cast<uint16_t>(v * factor));
    return out;
}

std::string plain_text(const std::vector<uint8_t>& samples, unsigned factor = 1)
{
    std::string text;
    for (size_t k = 0; k < samples.size(); ++k)
        text += std::to_string(samples[k] * factor) + (k % 11 == 10 ? "\n" : " ");
    return text;
}

// An RGB picture whose channels differ everywhere.
std::vector<uint8_t> colour_picture()
{
    std::vector<uint8_t> rgb;
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x) {
            rgb.push_back(static_cast<uint8_t>(x * 6));
            rgb.push_back(static_cast<uint8_t>((x / 4 + y / 4) % 2 ? 220 : 40));
            rgb.push_back(static_cast<uint8_t>(255 - y * 9));
        }
    return rgb;
}

double luma(double r, double g, double b)
{
    return 0.299 * r + 0.587 * g + 0.114 * b;
}

// What a decoder prints while it decodes: nothing, on either stream.
std::string printed_while(const std::function<void()>& work)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    work();
    return testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
}

}  // namespace

struct SavedGrey {
    const char* how;
    std::function<std::string(const std::vector<uint8_t>&)> file;
    const char* format;
};

TEST(InputImage, TheSameGreyPictureInEveryFormatGivesTheSameGreyLevels)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::string size = std::to_string(WIDTH) + " " + std::to_string(HEIGHT);
    const std::vector<SavedGrey> saved = {
        {"raw PGM, fixed layout", [&](auto& s) { return "P5\n# made\n" + size + "\n255\n" + netpbm_raster(s); }, "PGM"},
        {"raw PGM, header on one line with comments",
         [&](auto& s) {
             return "P5#a\n" + std::to_string(WIDTH) + "#b\n " + std::to_string(HEIGHT) + " 255\t" + netpbm_raster(s);
         },
         "PGM"},
        {"raw PGM, 16 bits",
         [&](auto& s) {
             std::string r;
             for (uint8_t v : s) r += {static_cast<char>((v * 257) >> 8), static_cast<char>((v * 257) & 0xff)};
             return "P5 " + size + " 65535\n" + r;
         },
         "PGM"},
        {"plain PGM", [&](auto& s) { return "P2\n# GIMP\n" + size + "\n# x\n255\n" + plain_text(s); }, "PGM"},
        {"PAM",
         [&](auto& s) {
             return "P7\nWIDTH " + std::to_string(WIDTH) + "\nHEIGHT " + std::to_string(HEIGHT) +
                    "\nDEPTH 1\n# c\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n" + netpbm_raster(s);
         },
         "PAM"},
        {"PAM of a tuple type netpbm allows and this reader does not know, read by its depth",
         [&](auto& s) {
             return "P7\nWIDTH " + std::to_string(WIDTH) + "\nHEIGHT " + std::to_string(HEIGHT) +
                    "\nDEPTH 1\nMAXVAL 255\nTUPLTYPE FOO_BAR\nTUPLTYPE BAZ\nENDHDR\n" + netpbm_raster(s);
         },
         "PAM"},
        {"tile of 16 on a picture narrower than a tile",
         [](auto& s) { return tiff_file(as_levels(s), WIDTH, HEIGHT, TiffLayout{1, 8, true}); }, "TIFF"},
        {"TIFF of 8 samples a pixel, the extra ones skipped",
         [](auto& s) {
             std::vector<double> eight;
             for (uint8_t v : s)
                 for (int k = 0; k < 8; ++k) eight.push_back(k == 0 ? v : 7);
             return tiff_file(eight, WIDTH, HEIGHT, TiffLayout{8, 8, false, false, false, 1, PHOTOMETRIC_MINISBLACK});
         },
         "TIFF"},
        {"8-bit PNG", [](auto& s) { return png_file(wide(s), WIDTH, HEIGHT, 1, 8); }, "PNG"},
        {"8-bit interlaced PNG", [](auto& s) { return png_file(wide(s), WIDTH, HEIGHT, 1, 8, true); }, "PNG"},
        {"16-bit PNG", [](auto& s) { return png_file(wide(s, 257), WIDTH, HEIGHT, 1, 16); }, "PNG"},
        {"8-bit TIFF in strips", [](auto& s) { return tiff_file(as_levels(s), WIDTH, HEIGHT, TiffLayout{}); }, "TIFF"},
        {"8-bit TIFF in tiles, deflated",
         [](auto& s) {
             return tiff_file(as_levels(s), WIDTH, HEIGHT,
                              TiffLayout{1, 8, true, false, false, COMPRESSION_ADOBE_DEFLATE});
         },
         "TIFF"},
        {"16-bit TIFF, LZW",
         [](auto& s) {
             return tiff_file(as_levels(wide(s, 257)), WIDTH, HEIGHT,
                              TiffLayout{1, 16, false, false, false, COMPRESSION_LZW});
         },
         "TIFF"},
        {"first page of a multi-page TIFF",
         [](auto& s) {
             return tiff_file(as_levels(s), WIDTH, HEIGHT, TiffLayout{1, 8, false, false, false, 1, -1, 3});
         },
         "TIFF"},
    };
    const std::vector<double> expected = as_levels(picture);
    for (const SavedGrey& s : saved) {
        SCOPED_TRACE(s.how);
        const lintrace::Image image = decode_bytes(s.file(picture));
        EXPECT_STREQ(image.format, s.format);
        ASSERT_EQ(image.width, WIDTH);
        ASSERT_EQ(image.height, HEIGHT);
        EXPECT_EQ(image.channels, 1);
        EXPECT_EQ(grey_levels(image), expected);
    }
}

TEST(InputImage, NarrowSamplesAreTracedAsTheirPicturesLook)
{
    // Levels 0..15 and their 8-bit twins 17 v; 0..1 and their twins 0, 255.
    const std::vector<uint8_t> narrow = grey_picture(WIDTH, HEIGHT, 16);
    std::vector<uint8_t> bits(narrow.size());
    for (size_t k = 0; k < narrow.size(); ++k) bits[k] = narrow[k] & 1;
    std::vector<uint16_t> four(narrow.begin(), narrow.end());
    std::string p4;
    for (int y = 0; y < HEIGHT; ++y)
        for (int x0 = 0; x0 < WIDTH; x0 += 8) {
            unsigned byte = 0;
            for (int x = x0; x < x0 + 8; ++x)
                byte = byte << 1 | (x < WIDTH && bits[static_cast<size_t>(y) * WIDTH + x] == 0 ? 1 : 0);
            p4 += static_cast<char>(byte);
        }
    std::string p1;
    for (uint8_t b : bits) p1 += b ? "0" : "1";  // 1 is black
    const std::string size = std::to_string(WIDTH) + " " + std::to_string(HEIGHT);
    struct Case {
        const char* how;
        std::string file;
        const std::vector<uint8_t>& samples;
        double scale;
    } cases[] = {
        {"raw PGM of maximum 15", "P5\n" + size + "\n15\n" + netpbm_raster(narrow), narrow, 17},
        {"plain PGM of maximum 15", "P2 " + size + " 15 " + plain_text(narrow), narrow, 17},
        {"4-bit PNG", png_file(four, WIDTH, HEIGHT, 1, 4), narrow, 17},
        {"raw PBM", "P4\n" + size + "\n" + p4, bits, 255},
        {"plain PBM", "P1\n" + size + "\n" + p1, bits, 255},
        {"PAM black and white",
         "P7 WIDTH " + std::to_string(WIDTH) + " HEIGHT " + std::to_string(HEIGHT) +
             " DEPTH 1 MAXVAL 1 TUPLTYPE BLACKANDWHITE\nENDHDR\n" + netpbm_raster(bits),
         bits, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        std::vector<double> twin;
        for (uint8_t v : c.samples) twin.push_back(v * c.scale);
        EXPECT_EQ(grey_levels(decode_bytes(c.file)), twin);
    }
}

TEST(InputImage, WideSamplesKeepTheirPrecision)
{
    // 16-bit samples 1, 2 and 3 are grey levels below 1, not rounded to 0.
    const std::string raster("\0\1\0\2\0\3\xff\xff", 8);
    const lintrace::Image image = decode_bytes("P5 4 1 65535\n" + raster);
    EXPECT_EQ(image.type, SampleType::UINT16);
    EXPECT_EQ(grey_levels(image), (std::vector<double>{255.0 / 65535, 510.0 / 65535, 765.0 / 65535, 255}));
    // 12-bit samples, as a 12-bit camera's PGM holds them.
    const lintrace::Image twelve = decode_bytes("P2 2 1 4095 1 4095\n");
    EXPECT_EQ(grey_levels(twelve), (std::vector<double>{1 * 255.0 / 4095, 255}));
    // Floating-point TIFF samples on 0..1 become levels on 0..255.
    const lintrace::Image floating = decode_bytes(tiff_file({0.0, 0.25, 0.5, 1.0}, 4, 1, TiffLayout{1, 32}));
    EXPECT_EQ(floating.type, SampleType::DOUBLE);
    EXPECT_EQ(grey_levels(floating), (std::vector<double>{0, 63.75, 127.5, 255}));
}

// The grey levels of RGB or RGBA samples (`channels` of them a pixel), computed here.
static std::vector<double> luma_levels(const std::vector<uint8_t>& samples, int channels)
{
    std::vector<double> levels;
    for (size_t p = 0; p < samples.size() / channels; ++p) {
        const uint8_t* s = &samples[p * channels];
        double y = channels >= 3 ? luma(s[0], s[1], s[2]) : s[0];
        if (channels == 2 || channels == 4) {
            const double a = s[channels - 1] / 255.0;
            y = y * a + 255 * (1 - a);
        }
        levels.push_back(y);
    }
    return levels;
}

TEST(InputImage, ColourIsTracedOnItsLumaWithAlphaOverWhite)
{
    const std::vector<uint8_t> rgb = colour_picture();
    std::vector<uint8_t> rgba, grey_alpha, few_colours;
    for (size_t p = 0; p < rgb.size() / 3; ++p) {
        rgba.insert(rgba.end(), {rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2], static_cast<uint8_t>(p * 7)});
        grey_alpha.insert(grey_alpha.end(), {rgb[3 * p], static_cast<uint8_t>(p * 7)});
        for (int k = 0; k < 3; ++k) few_colours.push_back(rgb[3 * p + k] & 0xc0);
    }
    const std::string size = std::to_string(WIDTH) + " " + std::to_string(HEIGHT);
    const std::string pam = "P7\nWIDTH " + std::to_string(WIDTH) + "\nHEIGHT " + std::to_string(HEIGHT);
    struct Case {
        const char* how;
        std::string file;
        const std::vector<uint8_t>& samples;
        int channels;
    } cases[] = {
        {"raw PPM", "P6\n" + size + "\n255\n" + netpbm_raster(rgb), rgb, 3},
        {"plain PPM", "P3\n" + size + "\n255\n" + plain_text(rgb), rgb, 3},
        {"PAM RGB", pam + "\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + netpbm_raster(rgb), rgb, 3},
        {"PAM RGB_ALPHA", pam + "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" + netpbm_raster(rgba), rgba, 4},
        {"PAM GRAYSCALE_ALPHA",
         pam + "\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" + netpbm_raster(grey_alpha), grey_alpha, 2},
        {"RGB PNG", png_file(wide(rgb), WIDTH, HEIGHT, 3, 8), rgb, 3},
        {"palette PNG", png_file(wide(few_colours), WIDTH, HEIGHT, 3, 8, false, true), few_colours, 3},
        {"RGBA PNG", png_file(wide(rgba), WIDTH, HEIGHT, 4, 8), rgba, 4},
        {"16-bit grey + alpha PNG", png_file(wide(grey_alpha, 257), WIDTH, HEIGHT, 2, 16), grey_alpha, 2},
        {"RGB TIFF", tiff_file(as_levels(rgb), WIDTH, HEIGHT, TiffLayout{3}), rgb, 3},
        {"RGB TIFF in planes and tiles", tiff_file(as_levels(rgb), WIDTH, HEIGHT, TiffLayout{3, 8, true, true}), rgb,
         3},
        {"RGBA TIFF", tiff_file(as_levels(rgba), WIDTH, HEIGHT, TiffLayout{4, 8, false, false, true}), rgba, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        const lintrace::Image image = decode_bytes(c.file);
        EXPECT_EQ(image.channels, c.channels);
        const std::vector<double> levels = grey_levels(image);
        const std::vector<double> expected = luma_levels(c.samples, c.channels);
        ASSERT_EQ(levels.size(), expected.size());
        for (size_t k = 0; k < levels.size(); ++k) ASSERT_DOUBLE_EQ(levels[k], expected[k]) << "pixel " << k;
    }
}

TEST(InputImage, ProgressiveJpegDecodesAsBaseline)
{
    const std::vector<uint8_t> rgb = colour_picture();
    for (int channels : {1, 3}) {
        std::vector<uint8_t> samples = channels == 3 ? rgb : grey_picture();
        const lintrace::Image baseline = decode_bytes(jpeg_file(samples, WIDTH, HEIGHT, channels, 90));
        const lintrace::Image progressive = decode_bytes(jpeg_file(samples, WIDTH, HEIGHT, channels, 90, true));
        EXPECT_EQ(baseline.channels, channels);
        EXPECT_EQ(grey_levels(progressive), grey_levels(baseline));
        // Lossy, but near the picture.
        const std::vector<double> levels = grey_levels(baseline);
        double error = 0;
        for (size_t p = 0; p < levels.size(); ++p)
            error +=
                std::fabs(levels[p] - (channels == 1 ? samples[p] : luma(rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2])));
        EXPECT_LT(error / levels.size(), 6);
    }
}

TEST(InputImage, ExifOrientationTurnsAJpegAsViewersShowIt)
{
    // The stored picture has a bright block at its stored top-left corner.
    const int w = 32, h = 16;
    std::vector<uint8_t> stored(static_cast<size_t>(w) * h, 60);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) stored[static_cast<size_t>(y) * w + x] = 250;
    const lintrace::Image upright = decode_bytes(jpeg_file(stored, w, h, 1, 95));
    // Where viewers show the stored top-left block, and the displayed size.
    struct Case {
        int orientation;
        bool swapped;
        int corner_x, corner_y;  // 0: left/top, 1: right/bottom
    } cases[] = {{1, false, 0, 0}, {2, false, 1, 0}, {3, false, 1, 1}, {4, false, 0, 1},
                 {5, true, 0, 0},  {6, true, 1, 0},  {7, true, 1, 1},  {8, true, 0, 1}};
    for (const Case& c : cases)
        for (bool motorola : {true, false}) {
            SCOPED_TRACE("orientation " + std::to_string(c.orientation) + (motorola ? " MM" : " II"));
            const lintrace::Image turned = decode_bytes(jpeg_file(stored, w, h, 1, 95, false, c.orientation, motorola));
            ASSERT_EQ(turned.width, c.swapped ? h : w);
            ASSERT_EQ(turned.height, c.swapped ? w : h);
            const int64_t x = c.corner_x ? turned.width - 4 : 3, y = c.corner_y ? turned.height - 4 : 3;
            EXPECT_GT(turned.sample(x, y, 0), 200);
            EXPECT_LT(turned.sample(turned.width - 1 - x, turned.height - 1 - y, 0), 100);
            // Every pixel is the upright decode's, moved: turned by quarter turns and mirrors.
            for (int64_t ty = 0; ty < turned.height; ++ty)
                for (int64_t tx = 0; tx < turned.width; ++tx) {
                    int64_t ux = c.swapped ? ty : tx, uy = c.swapped ? tx : ty;  // transpose first
                    const bool mirror_x = c.swapped ? c.corner_y : c.corner_x;
                    const bool mirror_y = c.swapped ? c.corner_x : c.corner_y;
                    if (mirror_x) ux = w - 1 - ux;
                    if (mirror_y) uy = h - 1 - uy;
                    ASSERT_EQ(turned.sample(tx, ty, 0), upright.sample(ux, uy, 0)) << tx << "," << ty;
                }
        }
}

TEST(InputImage, StandardInputIsReadForEveryFormat)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::string size = std::to_string(WIDTH) + " " + std::to_string(HEIGHT);
    const std::string files[] = {"P5\n" + size + "\n255\n" + netpbm_raster(picture),
                                 png_file(wide(picture), WIDTH, HEIGHT, 1, 8),
                                 tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{})};
    for (const std::string& file : files) {
        const int saved = dup(STDIN_FILENO);
        const int fd = open(save(file).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        dup2(fd, STDIN_FILENO);
        close(fd);
        lintrace::Image image;
        EXPECT_NO_THROW(image = lintrace::read_image("-"));
        dup2(saved, STDIN_FILENO);
        close(saved);
        EXPECT_EQ(grey_levels(image), as_levels(picture));
    }
}

TEST(InputImage, ARawPgmReadBeforeIsReadAsBefore)
{
    // The fixed layout ignores the rest of the dimension line; netpbm's grammar does not.
    const lintrace::Image image = decode_bytes(std::string("P5\n3 1 trailing words\n255\n") + "\x01\x0a\x20");
    EXPECT_EQ(grey_levels(image), (std::vector<double>{1, 10, 32}));
}

struct DamagedFile {
    const char* what;
    std::string bytes;
    const char* message;  // after "NAME: "
};

TEST(InputImage, EveryDamagedFileIsRefusedWithItsNameFormatAndReason)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::string png = png_file(wide(picture), WIDTH, HEIGHT, 1, 8);
    std::string png_bad_crc = png;
    png_bad_crc[png.size() - 20] ^= 0x55;  // inside the IDAT data, before its checksum
    // A 100000 x 100000 PNG of a few hundred bytes: its header claims it all.
    std::string huge_png = png;
    huge_png.replace(16, 8, std::string("\0\x01\x86\xa0\0\x01\x86\xa0", 8));
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(huge_png.data() + 12), 17);
    for (int k = 0; k < 4; ++k) huge_png[29 + k] = static_cast<char>(crc >> (24 - 8 * k));
    const std::string jpeg = jpeg_file(picture, WIDTH, HEIGHT, 1, 90);
    std::string jpeg_twelve_bits = jpeg;
    jpeg_twelve_bits[jpeg.find("\xff\xc0") + 4] = 12;
    const std::string tiff = tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{});
    const DamagedFile cases[] = {
        {"GIF", std::string("GIF89a\x01\0\x01\0", 10),
         "unknown format: it is not a netpbm (PBM, PGM, PPM, PAM), PNG, JPEG or TIFF image: its first bytes are 47 49 "
         "46 38 39 61 01 00 (\"GIF89a..\")"},
        {"empty", "", "unknown format: the file is empty"},
        {"magic without space", "P5x 3 1 255\n", "unknown format"},
        {"truncated raw PGM", "P5 4 4 255\n\1\2\3", "PGM data is truncated: the raster holds fewer than 4 x 4 pixels"},
        {"maximum value 0", "P5 1 1 0\n\1", "PGM header is malformed: the maximum value is not within 1 to 65535"},
        {"maximum value 65536", "P2 1 1 65536\n1",
         "PGM header is malformed: the maximum value is not within 1 to 65535"},
        {"endless width", "P5 " + std::string(300, '7'), "PGM header is malformed: the width has more than 10 digits"},
        {"zero height", "P6 1 0 255\n", "PPM header is malformed: a dimension is not positive"},
        {"sample above maximum", "P2 2 1 7 3 8", "PGM sample exceeds the maximum value 7"},
        {"raw sample above maximum", "P5 2 1 7\n\3\x09", "PGM sample exceeds the maximum value 7"},
        {"plain raster ends", "P3 2 1 255 1 2 3 4", "PPM data is truncated"},
        {"PAM tuple type", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\1\2\3",
         "PAM header is malformed: unknown tuple type \"CMYK\""},
        {"PAM depth", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n\1\2",
         "PAM header is malformed: tuple type RGB does not have depth 2"},
        {"PAM without ENDHDR", "P7\nWIDTH 1\nHEIGHT 1\n", "PAM header is malformed: the file ends before ENDHDR"},
        {"PAM of a height given twice", "P7\nWIDTH 1\nHEIGHT 1\nHEIGHT 9\nDEPTH 1\nMAXVAL 255\nENDHDR\n\1",
         "PAM header is malformed: HEIGHT is given twice"},
        {"PAM of a maximum value given twice", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nMAXVAL 9\nENDHDR\n\1",
         "PAM header is malformed: MAXVAL is given twice"},
        {"PAM of an unknown tuple type of depth 7",
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 7\nMAXVAL 255\nTUPLTYPE FOO_BAR\nENDHDR\n1234567",
         "PAM header is malformed: unknown tuple type \"FOO_BAR\" of depth 7 (only depths 1 to 4 are read)"},
        {"truncated PNG", png.substr(0, png.size() / 2), "PNG data is truncated"},
        {"PNG with a bad checksum", png_bad_crc, "PNG data is corrupt"},
        {"PNG of 100000 x 100000 pixels", huge_png,
         "PNG data is truncated: an image of 100000 x 100000 pixels cannot fit"},
        {"truncated JPEG", jpeg.substr(0, jpeg.size() * 2 / 3), "JPEG data is truncated (premature end of JPEG file)"},
        {"JPEG without its frame", jpeg.substr(0, 20), "JPEG data is truncated"},
        {"JPEG of 12-bit samples", jpeg_twelve_bits, "JPEG data is corrupt (unsupported JPEG data precision 12)"},
        {"truncated TIFF", tiff.substr(0, tiff.size() / 3), "TIFF data is truncated"},
        {"TIFF of an empty directory", std::string("II*\0\x08\0\0\0\0\0\0\0\0\0", 14), "TIFF data is corrupt"},
    };
    for (const DamagedFile& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = save(c.bytes, "damaged");
        std::string message;
        const auto start = std::chrono::steady_clock::now();
        const std::string printed = printed_while([&] {
            try {
                lintrace::read_image(path);
                message = "(decoded)";
            } catch (const lintrace::ImageError& e) {
                message = e.what();
            }
        });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(printed, "");
        const bool unknown = std::string(c.message).rfind("unknown format", 0) == 0;
        const std::string named = (unknown ? std::string(lintrace::UNKNOWN_FORMAT_MESSAGE) + " " : "") + path + ": " + c.message;
        EXPECT_EQ(message.substr(0, named.size()), named);
    }
}

TEST(InputImage, AMissingOrUnreadableInputIsNamedWithTheSystemsReason)
{
    const std::string directory = scratch_directory();
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {{directory + "/absent.png", "Input file not found: " + directory + "/absent.png: No such file or directory"},
                 {directory, "Input file is a directory: " + directory}};
    for (const auto& c : cases) {
        try {
            lintrace::read_image(c.path);
            ADD_FAILURE() << c.path << " decoded";
        } catch (const lintrace::ImageNotFound& e) {
            EXPECT_EQ(std::string(e.what()), c.reason);
        }
    }
}

TEST(InputImage, AStreamOfNoImageIsRefusedAfterItsFirstBytes)
{
    // A pipe whose writer never ends: the reader must not wait for the end.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "AAAAAAAAAAAAAAAA", 16), 16);
    const int saved = dup(STDIN_FILENO);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
    std::string message;
    try {
        lintrace::read_image("-");
    } catch (const lintrace::ImageError& e) {
        message = e.what();
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(ends[1]);
    EXPECT_EQ(message.rfind(std::string(lintrace::UNKNOWN_FORMAT_MESSAGE) + " standard input: unknown format", 0), 0u);
}

TEST(PngOutput, WrittenPicturesReadBackAsTheyWere)
{
    const std::vector<uint8_t> rgb = colour_picture();
    const std::string directory = scratch_directory();
    OutputFile out;
    std::string failure;
    ASSERT_TRUE(out.open((directory + "/colour.png").c_str()));
    ASSERT_TRUE(write_png(&out, lintrace::Picture{rgb.data(), WIDTH, HEIGHT, 3, nullptr}, &failure)) << failure;
    ASSERT_TRUE(out.commit()) << out.reason();
    const lintrace::Image colour = lintrace::read_image(directory + "/colour.png");
    ASSERT_EQ(colour.channels, 3);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<const uint8_t*>(colour.samples),
                                   static_cast<const uint8_t*>(colour.samples) + rgb.size()),
              rgb);
    EXPECT_TRUE(names_png("a.PNG"));
    EXPECT_FALSE(names_png("png"));
    EXPECT_FALSE(names_png("a.png.pgm"));
}

TEST(Overlay, EdgesAreBrightOverThePhotographDimmedToGrey)
{
    const std::vector<uint8_t> rgb = colour_picture();
    const lintrace::Image photograph = decode_bytes(png_file(wide(rgb), WIDTH, HEIGHT, 3, 8));
    TestImage edges = blank_image(WIDTH, HEIGHT, 0);
    edges.at(5, 7) = 255;
    std::vector<unsigned char*> rows = edges.row_pointers();
    PgmImage canvas{{'P', '5', 0}, WIDTH, HEIGHT, 255, rows.data()};
    const RgbPicture picture = overlay_edges(photograph, canvas);
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x) {
            const uint8_t* out = &picture.samples[(static_cast<size_t>(y) * WIDTH + x) * 3];
            if (x == 5 && y == 7) {
                EXPECT_EQ(std::memcmp(out, OVERLAY_EDGE_COLOUR, 3), 0);
                continue;
            }
            const size_t p = static_cast<size_t>(y) * WIDTH + x;
            const double dimmed = luma(rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]) * OVERLAY_DIMMING;
            ASSERT_EQ(out[0], out[1]);
            ASSERT_EQ(out[1], out[2]);
            ASSERT_NEAR(out[0], dimmed, 0.5 + 1e-9) << x << "," << y;
        }
}

TEST(PngOutput, LinpaintWritesAPngWhereTheOutputNameEndsInPng)
{
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/in.list", "1 1\n2 1\n3 2\n4 3\n5 3\n-1 -1\n");
    for (const char* name : {"edges.pgm", "edges.png", "EDGES.PNG"}) {
        const ProgramRun run =
            run_program({LINPAINT, "-i", directory + "/in.list", "-r", "4", "-c", "7", "-o", directory + "/" + name});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    const lintrace::Image pgm = lintrace::read_image(directory + "/edges.pgm");
    for (const char* name : {"edges.png", "EDGES.PNG"}) {
        SCOPED_TRACE(name);
        const lintrace::Image png = lintrace::read_image(directory + "/" + name);
        EXPECT_STREQ(png.format, "PNG");
        EXPECT_EQ(grey_levels(png), grey_levels(pgm));
    }
    EXPECT_EQ(grey_levels(pgm)[1 * 7 + 2], 255);
}

// lintrace run on a file: its list, or the message it printed.
static std::string list_of(const std::string& path, const std::vector<std::string>& switches = {"-s", "1.0", "-sp"})
{
    const std::string out = path + ".list";
    std::vector<std::string> argv = {LINTRACE, "-i", path, "-o", out};
    argv.insert(argv.end(), switches.begin(), switches.end());
    const ProgramRun run = run_program(argv);
    return run.status == 0 ? read_file(out) : "failed: " + run.err;
}

TEST(InputImage, LintraceGivesTheSameListForThePictureInEveryFormat)
{
    const TestImage photo = crop(photograph("chelsea.pgm"), 96, 64, 120, 90);
    const std::vector<uint8_t> picture(photo.pixels.begin(), photo.pixels.end());
    const int w = photo.columns, h = photo.rows;
    const std::string size = std::to_string(w) + " " + std::to_string(h);
    const std::string expected = list_of(save("P5\n" + size + "\n255\n" + netpbm_raster(picture), "photo.pgm"));
    ASSERT_NE(expected.rfind("failed", 0), 0u) << expected;
    ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 100);
    const struct {
        const char* how;
        std::string file;
    } cases[] = {
        {"plain PGM", "P2\n# GIMP\n" + size + "\n255\n" + plain_text(picture)},
        {"PAM", "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                    "\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n" + netpbm_raster(picture)},
        {"8-bit PNG", png_file(wide(picture), w, h, 1, 8)},
        {"16-bit PNG", png_file(wide(picture, 257), w, h, 1, 16)},
        {"TIFF", tiff_file(as_levels(picture), w, h, TiffLayout{1, 8, true})},
    };
    for (const auto& c : cases) EXPECT_EQ(list_of(save(c.file, "photo")), expected) << c.how;

    // Maximum 15 and its 8-bit twin.
    std::vector<uint8_t> narrow, twin;
    for (uint8_t v : picture) {
        narrow.push_back(v / 17);
        twin.push_back(static_cast<uint8_t>(v / 17 * 17));
    }
    EXPECT_EQ(list_of(save("P5 " + size + " 15\n" + netpbm_raster(narrow), "narrow.pgm")),
              list_of(save("P5\n" + size + "\n255\n" + netpbm_raster(twin), "twin.pgm")));
}

TEST(InputImage, LintraceTracesColourOnTheLumaComputedHere)
{
    const TestImage photo = crop(photograph("chelsea.pgm"), 64, 48, 150, 100);
    std::vector<uint8_t> rgb;
    for (size_t p = 0; p < photo.pixels.size(); ++p) {
        const uint8_t v = photo.pixels[p];
        rgb.insert(rgb.end(), {v, static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v / 2 + (p % 7) * 9)});
    }
    const std::vector<double> levels = luma_levels(rgb, 3);
    lintrace::ImageView view{levels.data(), photo.columns, photo.rows, 0, SampleType::DOUBLE, 1, 255, nullptr};
    lintrace::Settings settings;
    settings.sigma = 1.0;
    settings.sub_pixel = true;
    const std::string expected = lintrace::trace(view, settings).list_text();
    const std::string size = std::to_string(photo.columns) + " " + std::to_string(photo.rows);
    EXPECT_EQ(list_of(save("P6\n" + size + "\n255\n" + netpbm_raster(rgb), "colour.ppm")), expected);
    EXPECT_EQ(list_of(save(png_file(wide(rgb), photo.columns, photo.rows, 3, 8), "colour.png")), expected);
}

TEST(InputImage, AnImageLargerThanTheMemoryAllowedIsRefusedBeforeItIsAllocated)
{
    // A flat picture, whose files are far smaller than its samples.
    const int w = 200, h = 100;
    const std::vector<uint8_t> picture(static_cast<size_t>(w) * h, 90);
    const std::string size = std::to_string(w) + " " + std::to_string(h);
    const double room = w * h - 1;  // bytes: one fewer than the 8-bit grey image needs
    const struct {
        const char* format;
        std::string file;
    } cases[] = {
        {"PGM", "P2 " + size + " 255 " + plain_text(picture)},
        {"PNG", png_file(wide(picture), w, h, 1, 8)},
        {"JPEG", jpeg_file(picture, w, h, 1, 90)},
        {"TIFF", tiff_file(as_levels(picture), w, h, TiffLayout{1, 8, false, false, false, COMPRESSION_ADOBE_DEFLATE})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_NO_THROW(lintrace::read_image_bytes(c.file.data(), c.file.size(), "small", lintrace::ReadOptions{room + 1, {}}));
        try {
            lintrace::read_image_bytes(c.file.data(), c.file.size(), "small", lintrace::ReadOptions{room, {}});
            ADD_FAILURE() << "decoded";
        } catch (const lintrace::ImageError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("small: ") + c.format + " image of " + std::to_string(w) +
                                                 " x " + std::to_string(h) + " pixels does not fit in memory");
        }
    }
}

TEST(InputImage, WhatTheDetectorCannotUseIsRefusedBeforeItIsAllocated)
{
    const std::vector<uint8_t> picture = grey_picture();
    std::vector<double> nine, bomb;
    for (uint8_t v : picture)
        for (int k = 0; k < 9; ++k) nine.push_back(v);
    // Four pixels claiming 65535 samples each, deflated to a few kilobytes:
    // a strip of them would be 262140 bytes of what is never read.
    bomb.assign(4 * 65535, 0);
    const struct {
        const char* what;
        std::string file;
        std::string message;  // after "NAME: "
    } cases[] = {
        {"TIFF of 9 samples a pixel",
         tiff_file(nine, WIDTH, HEIGHT, TiffLayout{9, 8, false, false, false, 1, PHOTOMETRIC_MINISBLACK}),
         "TIFF image has 9 samples a pixel, more than the 8 that are read"},
        {"TIFF of 65535 samples a pixel",
         tiff_file(bomb, 2, 2, TiffLayout{65535, 8, false, false, false, COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_MINISBLACK}),
         "TIFF image has 65535 samples a pixel, more than the 8 that are read"},
        {"TIFF tile larger than its image", tiff_file(as_levels(picture), WIDTH, HEIGHT,
                                                      TiffLayout{1, 8, true, false, false, 1, -1, 1, 1, 64}),
         "TIFF tile of 64 x 64 pixels is larger than its image of 37 x 23 pixels"},
        {"JPEG of one scan too many", jpeg_of_scans(picture, WIDTH, HEIGHT, lintrace::MAX_JPEG_SCANS + 1),
         "JPEG image has more than 500 scans, the most that is read (real files have about ten)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            lintrace::read_image_bytes(c.file.data(), c.file.size(), "hostile");
            ADD_FAILURE() << "decoded";
        } catch (const lintrace::ImageError& e) {
            EXPECT_EQ(std::string(e.what()), "hostile: " + c.message);
        }
    }
    // At the cap a JPEG is read, each repeated scan refining nothing.
    const std::string most = jpeg_of_scans(picture, WIDTH, HEIGHT, lintrace::MAX_JPEG_SCANS);
    const std::string two = jpeg_of_scans(picture, WIDTH, HEIGHT, 2);
    EXPECT_EQ(grey_levels(lintrace::read_image_bytes(most.data(), most.size(), "most")),
              grey_levels(lintrace::read_image_bytes(two.data(), two.size(), "two")));
}

TEST(InputImage, APixelLimitRefusesEveryFormatBeforeItsSamplesAreRead)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::string size = std::to_string(WIDTH) + " " + std::to_string(HEIGHT);
    const uint64_t pixels = static_cast<uint64_t>(WIDTH) * HEIGHT;
    // A PNG header claiming 100000 x 100000 pixels in a few hundred bytes.
    std::string huge_png = png_file(wide(picture), WIDTH, HEIGHT, 1, 8);
    huge_png.replace(16, 8, std::string("\0\x01\x86\xa0\0\x01\x86\xa0", 8));
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(huge_png.data() + 12), 17);
    for (int k = 0; k < 4; ++k) huge_png[29 + k] = static_cast<char>(crc >> (24 - 8 * k));
    const struct {
        const char* format;
        std::string file;
        std::string claim;  // what the header claims, as the message says it
        uint64_t limit;
    } cases[] = {
        {"PGM", "P5\n" + size + "\n255\n" + netpbm_raster(picture), "37 x 23 pixels (851)", pixels - 1},
        {"PGM", "P2 " + size + " 255 " + plain_text(picture), "37 x 23 pixels (851)", pixels - 1},
        {"PGM", "P5\n30000 30000\n255\n", "30000 x 30000 pixels (900000000)", 1000000},
        {"PAM",
         "P7\nWIDTH 37\nHEIGHT 23\nDEPTH 1\nMAXVAL 255\nENDHDR\n" + netpbm_raster(picture),
         "37 x 23 pixels (851)", pixels - 1},
        {"PNG", png_file(wide(picture), WIDTH, HEIGHT, 1, 8), "37 x 23 pixels (851)", pixels - 1},
        {"PNG", huge_png, "100000 x 100000 pixels (10000000000)", 1000000},
        {"JPEG", jpeg_file(picture, WIDTH, HEIGHT, 1, 90), "37 x 23 pixels (851)", pixels - 1},
        {"TIFF", tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{}), "37 x 23 pixels (851)", pixels - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + std::string(" ") + c.claim);
        lintrace::ReadOptions options;
        options.max_pixels = c.limit;
        // From a file, so that a raw PGM takes its mapped path.
        const std::string path = save(c.file, "untrusted");
        try {
            lintrace::read_image(path, options);
            ADD_FAILURE() << "decoded";
        } catch (const lintrace::ImageError& e) {
            EXPECT_EQ(std::string(e.what()), path + ": " + c.format + " image of " + c.claim +
                                                 " is larger than the limit of " + std::to_string(c.limit) + " pixels");
        }
        if (c.limit == pixels - 1) {
            options.max_pixels = pixels;
            EXPECT_EQ(lintrace::read_image(path, options).width, WIDTH) << "at the limit the image is read";
        }
    }
}

TEST(InputImage, AMultiPageTiffIsReadAtThePageAskedFor)
{
    const std::vector<uint8_t> picture = grey_picture();
    // Pages after the first are black.
    const std::string path =
        save(tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{1, 8, false, false, false, 1, -1, 3}), "pages");
    lintrace::ReadOptions options;
    for (int page = 0; page < 3; ++page) {
        SCOPED_TRACE(page);
        options.page = page;
        const lintrace::Image image = lintrace::read_image(path, options);
        EXPECT_EQ(image.metadata.page, page);
        EXPECT_EQ(image.metadata.page_count, 3);
        EXPECT_EQ(grey_levels(image), page == 0 ? as_levels(picture) : std::vector<double>(picture.size(), 0.0));
    }
    // Messages count pages from 1, as a user names them.
    options.page = 3;
    try {
        lintrace::read_image(path, options);
        ADD_FAILURE() << "decoded";
    } catch (const lintrace::ImageError& e) {
        EXPECT_EQ(std::string(e.what()), path + ": TIFF image has no page 4 (it has 3 pages)");
    }
    const std::string single = save(tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{}), "single");
    options.page = 1;
    try {
        lintrace::read_image(single, options);
        ADD_FAILURE() << "decoded";
    } catch (const lintrace::ImageError& e) {
        EXPECT_EQ(std::string(e.what()), single + ": TIFF image has no page 2 (it has 1 page)");
    }
    EXPECT_EQ(lintrace::read_image(single).metadata.page_count, 1);
    // lintrace tells which page it traces of how many, and traces the one asked for.
    const std::string directory = scratch_directory();
    const ProgramRun first = run_program({LINTRACE, "-i", path, "-o", directory + "/1.list", "--verbose"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("lintrace: input " + path + ": page 1 of 3 (--page chooses another)\n"),
              std::string::npos)
        << first.err;
    const ProgramRun second =
        run_program({LINTRACE, "-i", path, "-o", directory + "/2.list", "--verbose", "--page", "2"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("lintrace: input " + path + ": page 2 of 3 (--page chooses another)\n"),
              std::string::npos);
    EXPECT_NE(read_file(directory + "/1.list"), "");
    EXPECT_EQ(read_file(directory + "/2.list"), "") << "a black page has no edges";
    const ProgramRun one = run_program({LINTRACE, "-i", single, "-o", directory + "/s.list", "--verbose"});
    EXPECT_EQ(one.err.find("page"), std::string::npos) << "a file of one page says nothing of pages";
}

TEST(InputImage, LintraceRefusesADamagedImageWithOneLineAndLeavesTheOutputAlone)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::string png = png_file(wide(picture), WIDTH, HEIGHT, 1, 8);
    const std::string jpeg = jpeg_file(picture, WIDTH, HEIGHT, 1, 90);
    const std::string tiff = tiff_file(as_levels(picture), WIDTH, HEIGHT, TiffLayout{});
    const struct {
        const char* format;
        std::string bytes;
    } cases[] = {{"PNG", png.substr(0, png.size() - 30)},
                 {"JPEG", jpeg.substr(0, jpeg.size() - 40)},
                 {"TIFF", tiff.substr(0, tiff.size() - 40)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const std::string directory = scratch_directory();
        const std::string in = directory + "/photo", out = directory + "/photo.list";
        write_file_bytes(in, c.bytes);
        write_file_bytes(out, "precious");
        const ProgramRun run = run_program({LINTRACE, "-i", in, "-o", out});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(in + ": " + c.format + " data is truncated (", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(read_file(out), "precious");
    }
}

TEST(InputImage, TheTiffOrientationTagTurnsTheImageAsExifDoes)
{
    const std::vector<uint8_t> picture = grey_picture();
    const std::vector<double> stored = as_levels(picture);
    for (bool rgba_reader : {false, true}) {
        SCOPED_TRACE(rgba_reader ? "through libtiff's RGBA reader" : "sample by sample");
        // A palette image goes through libtiff's RGBA reader.
        TiffLayout layout;
        const std::vector<double>& samples = stored;
        if (rgba_reader) layout.photometric = PHOTOMETRIC_PALETTE;
        const lintrace::Image upright = decode_bytes(tiff_file(samples, WIDTH, HEIGHT, layout));
        ASSERT_EQ(upright.channels, rgba_reader ? 3 : 1);
        EXPECT_EQ(upright.sample(5, 3, 0), picture[3 * WIDTH + 5]);
        layout.orientation = ORIENTATION_RIGHTTOP;  // 6: turned a quarter clockwise for display
        const lintrace::Image turned = decode_bytes(tiff_file(samples, WIDTH, HEIGHT, layout));
        ASSERT_EQ(turned.width, HEIGHT);
        ASSERT_EQ(turned.height, WIDTH);
        for (int64_t y = 0; y < turned.height; ++y)
            for (int64_t x = 0; x < turned.width; ++x)
                ASSERT_EQ(turned.sample(x, y, 0), upright.sample(y, HEIGHT - 1 - x, 0)) << x << "," << y;
    }
}

TEST(InputImage, LintraceTracesAnExifTurnedJpegAsItsUprightPictureTurned)
{
    const TestImage photo = crop(photograph("chelsea.pgm"), 64, 48, 150, 100);
    const std::vector<uint8_t> stored(photo.pixels.begin(), photo.pixels.end());
    const int w = photo.columns, h = photo.rows;
    const lintrace::Image upright = decode_bytes(jpeg_file(stored, w, h, 1, 95));
    // Orientation 8: turned a quarter anticlockwise for display, so the
    // displayed row y is the stored column w - 1 - y read downwards.
    std::string turned;
    for (int y = 0; y < w; ++y)
        for (int x = 0; x < h; ++x) turned += static_cast<char>(upright.sample(w - 1 - y, x, 0));
    const std::string expected =
        list_of(save("P5\n" + std::to_string(h) + " " + std::to_string(w) + "\n255\n" + turned, "turned.pgm"));
    ASSERT_NE(expected.rfind("failed", 0), 0u) << expected;
    EXPECT_EQ(list_of(save(jpeg_file(stored, w, h, 1, 95, false, 8), "photo.jpg")), expected);
}

// The map positions GDAL's gdaltransform gives for pixel/line positions of a raster.
static std::vector<std::pair<double, double>> gdal_positions(const std::string& path,
                                                      const std::vector<std::pair<double, double>>& pixel_lines)
{
    std::string input;
    for (const auto& [p, l] : pixel_lines) input += std::to_string(p) + " " + std::to_string(l) + "\n";
    const ProgramRun run = run_program({"/usr/bin/gdaltransform", "-output_xy", path}, input);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::pair<double, double>> positions;
    const char* at = run.out.c_str();
    for (char* end = nullptr;; at = end) {
        const double x = std::strtod(at, &end);
        if (end == at) break;
        at = end;
        const double y = std::strtod(at, &end);
        positions.emplace_back(x, y);
    }
    return positions;
}

TEST(Georeferencing, PointsLieWhereGdalPutsTheirPixelCentres)
{
    if (!file_exists("/usr/bin/gdaltransform") ||
        run_program({"/usr/bin/python3", "-c", "import osgeo.gdal"}).status != 0)
        GTEST_SKIP() << "GDAL (gdal-bin, python3-gdal) is not installed";
    const std::string directory = scratch_directory();
    const ProgramRun made =
        run_program({"/usr/bin/python3", std::string(SOURCE_DIRECTORY) + "/tests/make_georeferenced.py", directory});
    ASSERT_EQ(made.status, 0) << made.err;
    const struct {
        const char* file;
        int epsg;
        const char* source;
    } cases[] = {
        {"north-up.tif", 32633, "GeoTIFF tags"},  // a tiepoint and the pixel scale
        {"rotated.tif", 3857, "GeoTIFF tags"},    // the model transformation
        {"point.tif", 4326, "GeoTIFF tags"},      // tied to pixel centres: half a pixel off the corners
        {"world.png", 0, "world.pgw"},            // a world file, rotated, naming no system
    };
    // lintrace points: pixel centres at whole numbers, and sub-pixel positions between them.
    const std::vector<std::pair<double, double>> points = {{0, 0}, {47, 31}, {12.25, 7.75}, {3, 29.5}};
    std::vector<std::pair<double, double>> pixel_lines;
    for (const auto& [x, y] : points) pixel_lines.emplace_back(x + 0.5, y + 0.5);
    for (const auto& c : cases) {
        const std::string path = directory + "/" + c.file;
        const std::optional<lintrace::Georeferencing> geo = lintrace::georeferencing(lintrace::read_image(path), path);
        ASSERT_TRUE(geo.has_value()) << c.file;
        EXPECT_EQ(geo->epsg, c.epsg) << c.file;
        EXPECT_EQ(geo->source, c.epsg == 0 ? directory + "/" + c.source : std::string(c.source)) << c.file;
        const std::vector<std::pair<double, double>> expected = gdal_positions(path, pixel_lines);
        ASSERT_EQ(expected.size(), points.size()) << c.file;
        for (size_t k = 0; k < points.size(); ++k) {
            double x = 0, y = 0;
            geo->map(points[k].first, points[k].second, &x, &y);
            // gdaltransform prints what it computes to about 15 significant digits.
            EXPECT_NEAR(x, expected[k].first, 1e-9 * std::fmax(1, std::fabs(x))) << c.file << " point " << k;
            EXPECT_NEAR(y, expected[k].second, 1e-9 * std::fmax(1, std::fabs(y))) << c.file << " point " << k;
        }
    }
    // An image without georeferencing has none.
    write_file_bytes(directory + "/plain.pgm", "P5 2 2 255\n" + std::string(4, '\x10'));
    EXPECT_FALSE(lintrace::georeferencing(lintrace::read_image(directory + "/plain.pgm"), directory + "/plain.pgm"));
}

TEST(Georeferencing, WhatCannotBeToldIsRefusedNamingTheFile)
{
    if (run_program({"/usr/bin/python3", "-c", "import osgeo.gdal"}).status != 0)
        GTEST_SKIP() << "GDAL's Python module (python3-gdal) is not installed";
    const std::string directory = scratch_directory();
    ASSERT_EQ(
        run_program({"/usr/bin/python3", std::string(SOURCE_DIRECTORY) + "/tests/make_georeferenced.py", directory})
            .status,
        0);
    const struct {
        const char* image;
        const char* named;  // the file the message names
        const char* reason;
    } cases[] = {
        {"user.tif", "user.tif", "coordinate system cannot be named by an EPSG code (it is user-defined)"},
        {"bad-world.png", "bad-world.pgw", "world file does not hold six numbers"},
    };
    for (const auto& c : cases) {
        const std::string path = directory + "/" + c.image;
        try {
            lintrace::georeferencing(lintrace::read_image(path), path);
            ADD_FAILURE() << c.image << " was read";
        } catch (const lintrace::ImageError& e) {
            EXPECT_THAT(e.what(), testing::StartsWith(directory + "/" + c.named + ": ")) << c.image;
            EXPECT_THAT(e.what(), testing::HasSubstr(c.reason)) << c.image;
        }
    }
}

TEST(ImageMetadata, ResolutionPagesAndOrientationAreWhatTheFileStates)
{
    if (run_program({"/usr/bin/python3", "-c", "import PIL"}).status != 0)
        GTEST_SKIP() << "Pillow (python3-pil) is not installed";
    const std::string directory = scratch_directory();
    // Pillow writes each format's own resolution field: PNG's pHYs (pixels
    // a metre), JPEG's JFIF density and TIFF's X/YResolution (a unit, dots an inch).
    const ProgramRun made = run_program(
        {"/usr/bin/python3", "-c",
         "import sys; from PIL import Image\n"
         "d = sys.argv[1]; picture = Image.new('L', (6, 4), 90)\n"
         "picture.save(d + '/r.png', dpi=(254, 127))\n"
         "picture.save(d + '/r.jpg', dpi=(300, 150))\n"
         "picture.save(d + '/r.tif', dpi=(72, 36))\n"
         "picture.save(d + '/plain.png')\n",
         directory});
    ASSERT_EQ(made.status, 0) << made.err;
    using Unit = lintrace::Resolution::Unit;
    const struct {
        const char* file;
        double x, y;
        Unit unit;
    } cases[] = {
        {"r.png", 10000, 5000, Unit::METRE},
        {"r.jpg", 300, 150, Unit::INCH},
        {"r.tif", 72, 36, Unit::INCH},
    };
    for (const auto& c : cases) {
        const lintrace::Image image = lintrace::read_image(directory + "/" + c.file);
        ASSERT_TRUE(image.metadata.resolution.has_value()) << c.file;
        EXPECT_NEAR(image.metadata.resolution->x, c.x, 1e-3 * c.x) << c.file;
        EXPECT_NEAR(image.metadata.resolution->y, c.y, 1e-3 * c.y) << c.file;
        EXPECT_EQ(image.metadata.resolution->unit, c.unit) << c.file;
        EXPECT_EQ(image.metadata.page_count, 1) << c.file;
    }
    EXPECT_FALSE(lintrace::read_image(directory + "/plain.png").metadata.resolution.has_value());

    // A TIFF's pages are counted, and the one read is told; orientations are told once applied.
    TiffLayout pages;
    pages.pages = 3;
    const lintrace::Image three = decode_bytes(tiff_file(std::vector<double>(12, 50), 4, 3, pages));
    EXPECT_EQ(three.metadata.page_count, 3);
    EXPECT_EQ(three.metadata.page, 0);
    TiffLayout turned;
    turned.orientation = 6;
    const lintrace::Image six = decode_bytes(tiff_file(std::vector<double>(12, 50), 4, 3, turned));
    EXPECT_EQ(six.metadata.orientation, 6);
    EXPECT_EQ(six.width, 3);
}
