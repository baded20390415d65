// What the decoders of decode.cpp share: the input bytes, the message of a
// failure, and the checked allocation of the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lintrace/image.h"

namespace decode_detail {

using DecodedImage = lintrace::Image;
using DecodeError = lintrace::ImageError;
using InputNotFound = lintrace::ImageNotFound;

// The bytes of an input, read only as far as a decoder asks: a netpbm
// header is parsed as it arrives, so a stream that never ends is refused
// after the few bytes that show it is no image. Held bytes never move
// except when more are read.
class Input {
public:
    // Bytes in memory (not copied: they must outlive the Input).
    Input(const void* data, size_t size, std::string name, double memory_limit);
    // A file or stream already open; `known_size` is a regular file's size, -1 for a stream.
    Input(int fd, long long known_size, std::string name, double memory_limit, bool named = false);

    // True when at least n bytes are held (reading more as needed); false
    // when the input ends first. A failed read throws DecodeError.
    bool ensure(size_t n, const char* format = "image");
    // Reads everything that is left.
    void read_all(const char* format);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // The size of a regular file, -1 for a stream.
    long long known_size() const { return known_size_; }
    const std::string& name() const { return name_; }
    // The open file a named input is read from, -1 for bytes in memory or the standard input.
    int fd() const { return named_ ? fd_ : -1; }
    // True when a block of `bytes` bytes may be allocated for this input.
    bool fits(double bytes) const { return bytes >= 0 && bytes <= memory_limit_; }
    double memory_limit() const { return memory_limit_; }

    // The caller's limit on pixels (0: none) and the page asked for (from 0).
    void set_request(uint64_t max_pixels, int page)
    {
        max_pixels_ = max_pixels;
        page_ = page;
    }
    int page() const { return page_; }
    // Refuses (DecodeError) an image whose header claims more pixels than
    // the caller allows, naming what it claims and the limit.
    void check_pixels(const char* format, int64_t width, int64_t height) const;
    // Refuses a page other than the first of a format of one picture.
    void check_single_page(const char* format) const;

private:
    void read_more(size_t wanted, const char* format);

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;  // -1: everything is in memory already
    bool named_ = false;  // fd_ is a file opened by its name
    bool ended_ = false;
    long long known_size_ = -1;
    std::vector<uint8_t> buffer_;
    std::string name_;
    double memory_limit_;
    uint64_t max_pixels_ = 0;
    int page_ = 0;
};

// Throws the DecodeError "NAME: FORMAT REASON".
[[noreturn]] void fail(const std::string& name, const char* format, const std::string& reason);

// Sets the image's size and sample layout and gives it storage for its
// samples, packed row after row: refused (DecodeError) when the byte count
// overflows or exceeds the machine's memory. The samples are left unset.
uint8_t* allocate_samples(DecodedImage* image, const Input& input, int64_t width, int64_t height, int channels,
                          lintrace::SampleType type);

// The machine's physical memory in bytes.
double physical_memory();

using lintrace::sample_bytes;

// Turns the image as an EXIF or TIFF orientation (1 to 8) says, so that its
// first row is the top of the picture and its first column the left.
void apply_orientation(DecodedImage* image, const Input& input, int orientation);

// The decoders, each given its format's signature at the start of the input.
DecodedImage decode_netpbm(Input& input);
DecodedImage decode_png(Input& input);
DecodedImage decode_jpeg(Input& input);
DecodedImage decode_tiff(Input& input);

// The netpbm header of an input, parsed by the format's own grammar; for
// the decision whether a raw PGM may take the mapped path.
struct NetpbmHeader {
    char magic = 0;  // '1' to '7'
    int64_t width = 0;
    int64_t height = 0;
    int depth = 1;  // samples per pixel
    int max_value = 1;
    size_t raster_offset = 0;  // the first byte after the header
};
NetpbmHeader parse_netpbm_header(Input& input);
// Throws the DecodeError of a raster shorter than its header says.
[[noreturn]] void truncated(const Input& input, const char* format, const NetpbmHeader& header);
// The samples of a raw PGM, PPM or PAM raster (P5, P6, P7): one byte per
// sample, or two (most significant first) above a maximum value of 255.
void read_raw(Input& input, const char* format, const NetpbmHeader& header, uint8_t* out);

// The unsigned number of `bytes` bytes (at most 8) at p, the most significant
// first when `big_endian`, as TIFF and EXIF data store them.
inline uint64_t read_unsigned(const uint8_t* p, size_t bytes, bool big_endian)
{
    uint64_t value = 0;
    for (size_t k = 0; k < bytes; ++k) value |= uint64_t{p[k]} << (8 * (big_endian ? bytes - 1 - k : k));
    return value;
}

// Netpbm's white space.
inline bool is_space(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace decode_detail
