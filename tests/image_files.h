// Image files made by the libraries themselves, for the tests of the
// decoders: every format, depth and layout the decoders read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A PNG of `channels` samples a pixel (1 grey, 2 grey + alpha, 3 RGB,
// 4 RGBA) of `bits` bits; samples hold the values as stored. With `palette`,
// an 8-bit RGB image is stored through a palette of its colours.
std::string png_file(const std::vector<uint16_t>& samples, int width, int height, int channels, int bits,
                     bool interlaced = false, bool palette = false);

// A JPEG of 1 or 3 channels. With orientation 1 to 8, an APP1 Exif marker
// holds it (in big-endian order when `motorola`).
std::string jpeg_file(const std::vector<uint8_t>& samples, int width, int height, int channels, int quality,
                      bool progressive = false, int orientation = 0, bool motorola = true);

// A progressive grey JPEG of `scans` scans (2 or more): the DC coefficients,
// then every AC coefficient at full precision in one scan, that scan repeated
// as a hostile file may (each repetition refines nothing, and libjpeg takes
// it without a warning, yet passes over the whole image for it).
std::string jpeg_of_scans(const std::vector<uint8_t>& samples, int width, int height, int scans);

struct TiffLayout {
    int channels = 1;      // samples per pixel
    int bits = 8;          // 8, 16 or 32 (floating point)
    bool tiled = false;    // 16 x 16 tiles, else strips of 3 rows
    bool planes = false;   // a plane per channel
    bool alpha = false;    // the last channel is unassociated alpha
    int compression = 1;   // COMPRESSION_NONE
    int photometric = -1;  // -1: grey or RGB by the channel count; a palette is grey
    int pages = 1;         // further pages are all black
    int orientation = 1;   // the Orientation tag (1: rows from the top, columns from the left)
    int tile = 16;         // the side of a tile
    int strip_rows = 3;    // the rows of a strip
    bool big = false;      // BigTIFF
};
// A TIFF whose samples are given as doubles (converted to the layout's type).
std::string tiff_file(const std::vector<double>& samples, int width, int height, const TiffLayout& layout);
