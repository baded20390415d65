// Input images of every format the programs read, chosen by the file's first
// bytes and never by its name: the netpbm family (PBM, PGM, PPM in plain and
// raw form, PAM), PNG, JPEG and TIFF, from a path or "-" (the standard input
// stream).
//
// The result holds the samples as the file stores them (8-bit, 16-bit or, for
// floating-point TIFF, double grey levels already on the 0..255 scale) with
// the largest value they can take, interleaved grey, grey + alpha, RGB or
// RGBA: it is the detector library's ImageView as it stands. The conversion
// to grey levels (v * 255 / max_value in double, luma of colour, alpha over
// white) is the library's; grey_levels below is the same rule for the other
// front ends (the overlay, the tests).
//
// A raw PGM of a regular file with a maximum value of at most 255 and the
// fixed header layout is read by read_pgm_file, which maps the file, so such
// an image costs what it always has.
//
// Decoders never print, never end the process and never write to the
// standard output stream: every failure is a DecodeError whose message names
// the file, the format found and the reason. Sizes are checked against the
// machine's memory and against the file before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "lintrace/lintrace.h"

struct DecodedImage {
    int64_t width = 0;
    int64_t height = 0;
    int channels = 1;  // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA, interleaved
    lintrace::SampleType type = lintrace::SampleType::UINT8;
    double max_value = 255;   // of UINT8 and UINT16 samples; DOUBLE samples are on 0..255
    const char* format = "";  // "PGM", "PPM", "PAM", "PBM", "PNG", "JPEG" or "TIFF"
    const void* samples = nullptr;
    int64_t row_stride = 0;  // bytes from a row to the next

    lintrace::ImageView view() const
    {
        return lintrace::ImageView{samples, width, height, row_stride, type, channels, max_value, nullptr};
    }
    // The sample of channel k at column x, row y, as stored.
    double sample(int64_t x, int64_t y, int k) const;

    std::shared_ptr<const void> storage;  // owns what samples points into

    int page = 1;   // the page read, from 1: a TIFF's directory
    int pages = 1;  // the pages the file holds (1 for the formats of one picture)
};

class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The input could not be opened: "Input file not found: PATH: the system's
// reason" where it does not exist; "Input file is a directory: PATH", "Input
// file could not be opened: PATH: the system's reason" (not permitted, too
// many open files) otherwise.
class InputNotFound : public DecodeError {
public:
    using DecodeError::DecodeError;
};

// The first words of the message for a file of no format read here.
extern const char* const UNKNOWN_FORMAT_MESSAGE;

// What a caller may ask of the decoders beyond the image itself: limits for
// input from untrusted sources, and which page of a file of several.
struct DecodeOptions {
    // No block larger than this many bytes is asked for (0: the machine's
    // physical memory); an image that would need one is refused.
    double memory_limit = 0;
    // An image whose header claims more pixels than this is refused before
    // its samples are read or allocated (0: no limit but memory_limit).
    uint64_t max_pixels = 0;
    // The page to read, from 1: a TIFF's directories; every other format
    // holds one picture, its page 1.
    int page = 1;
};

// Reads the image at path ("-": the standard input stream). Throws
// DecodeError. No block larger than memory_limit bytes is asked for (0: the
// machine's physical memory); an image that would need one is refused.
DecodedImage decode_image(const std::string& path, double memory_limit = 0);
DecodedImage decode_image(const std::string& path, const DecodeOptions& options);

// Decodes an image held in memory; `name` stands for the file in messages.
// The bytes are copied where the image needs them after the call.
DecodedImage decode_image_bytes(const void* data, size_t size, const std::string& name, double memory_limit = 0);
DecodedImage decode_image_bytes(const void* data, size_t size, const std::string& name,
                                const DecodeOptions& options);

// The most scans a progressive JPEG may have: real files have about ten (64
// coefficients in successive approximations of three colours stay far
// below); each scan costs a pass over the whole image, so a small file
// repeating a tiny scan could otherwise take minutes. libjpeg-turbo's djpeg
// has -maxscans for the same reason.
constexpr int MAX_JPEG_SCANS = 500;
// The most samples a TIFF pixel may have: the reader takes RGB and alpha at
// most (CMYK and alpha through libtiff's reader) and skips a few extra ones;
// a pixel of thousands of samples would only cost memory for what is never
// read.
constexpr int MAX_TIFF_SAMPLES_PER_PIXEL = 8;

// The grey levels the detector traces, row after row: v * 255 / max_value in
// double; colour as luma 0.299 R + 0.587 G + 0.114 B; alpha a = A / max_value
// composited over white as level * a + 255 * (1 - a).
std::vector<double> grey_levels(const DecodedImage& image);

// True when a block of `bytes` bytes may be asked of the machine: no more
// than its physical memory.
bool fits_in_memory(double bytes);
