// What the decoders of decode.cpp share: the input bytes, the message of a
// failure, and the checked allocation of the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

    // The bytes from the start; only while none have been dropped.
    const uint8_t* data() const { return data_; }
    // The byte at `offset` from the start, which must be held.
    const uint8_t* at(size_t offset) const { return data_ + (offset - origin_); }
    // The end of the bytes read so far, counted from the start.
    size_t size() const { return size_; }
    // Forgets the bytes before `offset`, so that a reader of rows holds only
    // the rows it is at: offsets stay counted from the start. Bytes in
    // memory are the caller's and stay.
    void drop_before(size_t offset);
    // Moves on to `offset`, forgetting what lies before it: a named regular
    // file is seeked, a stream read through.
    void skip_to(size_t offset, const char* format);
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

    const uint8_t* data_ = nullptr;  // the byte at origin_
    size_t origin_ = 0;              // the first byte held
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

// The input at a path ("-": the standard input), opened as read_image opens
// it (ImageNotFound where it cannot be), closed with this object.
class InputFile {
public:
    InputFile(const std::string& path, const lintrace::ReadOptions& options);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    Input& input() { return *input_; }

private:
    int fd_ = -1;
    std::optional<Input> input_;
};

// Refuses (std::invalid_argument) options no reader can follow.
void check_options(const lintrace::ReadOptions& options);

// Reads the whole image of an input from its start, told by its signature,
// as read_image does.
lintrace::Image decode_input(Input& input, const lintrace::ReadOptions& options);

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

// How much of a raw PGM is held to compare the two readings of its header:
// a header longer than this is read by netpbm's grammar alone.
constexpr size_t FIXED_HEADER_LIMIT = 1 << 16;

// The header a raw PGM is read by where its fixed layout reads (see
// decode.cpp): false where it does not, within the bytes held.
bool read_fixed_layout(const uint8_t* d, size_t n, NetpbmHeader* header);
bool same_header(const NetpbmHeader& a, const NetpbmHeader& b);

// The readers of an image by rows that every format's shares: the shape and
// metadata, the count of rows handed over, and the window read by reading
// rows from the top (a format that can do better overrides it).
class RowReader : public lintrace::ImageRows {
public:
    lintrace::ImageView shape() const override { return shape_; }
    const char* format() const override { return format_; }
    const lintrace::ImageMetadata& metadata() const override { return metadata_; }
    bool streamed() const override { return true; }
    void read(int64_t count, void* rows) override;
    // Fills `out` with the pixels of the window [x, x + width) x [y, y +
    // height), which lies within the image, packed row after row. Only for
    // a reader none of whose rows has been read yet.
    virtual void read_window(int64_t x, int64_t y, int64_t width, int64_t height, uint8_t* out);

    size_t pixel_bytes() const { return static_cast<size_t>(shape_.channels) * sample_bytes(shape_.type); }
    size_t row_bytes() const { return static_cast<size_t>(shape_.width) * pixel_bytes(); }

protected:
    // The next `count` rows, packed, from row next_ on (read() counts them).
    virtual void read_rows(int64_t count, uint8_t* out) = 0;
    // Passes over the next `count` rows; by default they are read and dropped.
    virtual void skip_rows(int64_t count);
    // Sets the shape from the type, the channels and the largest value.
    void set_shape(int64_t width, int64_t height, int channels, lintrace::SampleType type, double max_value);
    // Refuses (DecodeError) a row buffer larger than the memory allowed.
    void check_row_fits(const Input& input, double rows) const;

    lintrace::ImageView shape_;
    const char* format_ = "";
    lintrace::ImageMetadata metadata_;
    int64_t next_ = 0;

private:
    std::string failure_;  // the message of a failed read, raised again by every later one
};

// The whole image of an input read as read_image reads it, its rows served
// from memory: for images whose rows cannot come from the file in order.
std::unique_ptr<RowReader> whole_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);

// The reader by rows of an input's format, told by its signature.
std::unique_ptr<RowReader> open_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);

// Each format's reader by rows, given its input with the format's
// signature at the start and the request set; where the image's rows cannot
// be read in order it is read whole (whole_rows).
std::unique_ptr<RowReader> netpbm_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);
std::unique_ptr<RowReader> png_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);
std::unique_ptr<RowReader> jpeg_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);
std::unique_ptr<RowReader> tiff_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);

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
