// Input images: opening the input, telling its format from its first bytes,
// and handing it to that format's decoder.
//
// A raw PGM whose header reads the same by the fixed layout of the programs'
// PGM reader and by netpbm's grammar is read by that layout, and a regular
// file's raster is mapped where the caller guards the mapping, so such images
// are read exactly as they always were; every other image is read into
// memory as far as its decoder asks and decoded there.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "decode_internal.h"

const char* const lintrace::UNKNOWN_FORMAT_MESSAGE = "Input file is not a PGM raw image.";

namespace decode_detail {

namespace {

constexpr size_t FIRST_READ = 1 << 16;

std::string stdin_name(const std::string& path)
{
    return path == "-" ? std::string("standard input") : path;
}

}  // namespace

Input::Input(const void* data, size_t size, std::string name, double memory_limit)
    : data_(static_cast<const uint8_t*>(data)),
      size_(size),
      ended_(true),
      known_size_(static_cast<long long>(size)),
      name_(std::move(name)),
      memory_limit_(memory_limit)
{
}

Input::Input(int fd, long long known_size, std::string name, double memory_limit, bool named)
    : fd_(fd), named_(named), known_size_(known_size), name_(std::move(name)), memory_limit_(memory_limit)
{
}

bool Input::ensure(size_t n, const char* format)
{
    if (size_ < n && !ended_) read_more(n, format);
    return size_ >= n;
}

void Input::read_all(const char* format)
{
    while (!ended_) read_more(std::numeric_limits<size_t>::max(), format);
}

// Reads until `wanted` bytes are held or the input ends. A stream's buffer
// grows with what actually arrives (doubling), so no claim of a header
// decides how much is allocated; a regular file's bytes are there, and what
// is wanted of them (at most all of them) is asked for at once.
void Input::read_more(size_t wanted, const char* format)
{
    while (size_ < wanted && !ended_) {
        size_t limit = wanted;
        if (known_size_ >= 0) limit = std::min(limit, static_cast<size_t>(known_size_) + 1);  // + 1: to see the end
        // The buffer holds the bytes from origin_ on: it is sized by what is held and wanted past that.
        const size_t held = size_ - origin_;
        const size_t wanted_held = limit > origin_ ? limit - origin_ : 0;
        size_t capacity = std::max(FIRST_READ, std::min(wanted_held, 2 * held));
        if (known_size_ >= 0) capacity = std::max(capacity, wanted_held);
        if (capacity <= held) capacity = held + FIRST_READ;
        if (!fits(static_cast<double>(capacity))) fail(name_, format, "input is larger than the machine's memory");
        buffer_.resize(capacity);
        while (size_ - origin_ < buffer_.size()) {
            const ssize_t got = read(fd_, buffer_.data() + (size_ - origin_), buffer_.size() - (size_ - origin_));
            if (got < 0) {
                if (errno == EINTR) continue;
                throw DecodeError("Input file could not be read: " + name_ + ": " + std::strerror(errno));
            }
            if (got == 0) {
                ended_ = true;
                break;
            }
            size_ += static_cast<size_t>(got);
            if (size_ >= wanted) break;
        }
        data_ = buffer_.data();
    }
}

void Input::drop_before(size_t offset)
{
    if (fd_ < 0) return;
    const size_t end = std::min(offset, size_);
    if (end <= origin_) return;
    const size_t dropped = end - origin_;
    std::memmove(buffer_.data(), buffer_.data() + dropped, size_ - end);
    buffer_.resize(size_ - end);
    origin_ = end;
    data_ = buffer_.data();
}

void Input::skip_to(size_t offset, const char* format)
{
    if (offset <= size_ || fd_ < 0) {
        drop_before(offset);
        return;
    }
    if (named_ && known_size_ >= 0) {
        buffer_.clear();
        origin_ = size_ = offset;
        data_ = buffer_.data();
        if (offset > static_cast<unsigned long long>(known_size_) ||
            lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset))
            ended_ = true;
        return;
    }
    while (size_ < offset && ensure(std::min(offset, size_ + FIRST_READ), format)) drop_before(size_);
    drop_before(offset);
}

void fail(const std::string& name, const char* format, const std::string& reason)
{
    throw DecodeError(name + ": " + format + " " + reason);
}

void Input::check_pixels(const char* format, int64_t width, int64_t height) const
{
    if (max_pixels_ == 0 || width <= 0 || height <= 0) return;
    // In long double: the product of two 32-bit dimensions is exact.
    const long double pixels = static_cast<long double>(width) * static_cast<long double>(height);
    if (pixels <= static_cast<long double>(max_pixels_)) return;
    fail(name_, format,
         "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels (" +
             std::to_string(static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height)) +
             ") is larger than the limit of " + std::to_string(max_pixels_) + " pixels");
}

void Input::check_single_page(const char* format) const
{
    // Pages are counted from 1 in messages, as a user names them.
    if (page_ != 0)
        fail(name_, format, "image has 1 page, not the page " + std::to_string(page_ + 1) + " asked for");
}

uint8_t* allocate_samples(DecodedImage* image, const Input& input, int64_t width, int64_t height, int channels,
                          lintrace::SampleType type)
{
    const std::string& name = input.name();
    const double bytes = static_cast<double>(width) * static_cast<double>(height) * channels * sample_bytes(type);
    if (width <= 0 || height <= 0)
        fail(name, image->format,
             "image has no pixels (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    input.check_pixels(image->format, width, height);
    if (!input.fits(bytes) || bytes > static_cast<double>(std::numeric_limits<int64_t>::max() / 2))
        fail(name, image->format,
             "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels does not fit in memory");
    // Left unset: every decoder writes every sample, and untouched pages cost nothing.
    std::shared_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(bytes)]);
    image->width = width;
    image->height = height;
    image->channels = channels;
    image->type = type;
    image->row_stride = width * channels * sample_bytes(type);
    image->samples = block.get();
    image->storage = block;
    return block.get();
}

// Output pixel (x, y) of the turned image is stored pixel (source_x, source_y):
//   1 as stored          2 mirrored left-right   3 turned half round   4 mirrored top-bottom
//   5 transposed         6 turned a quarter clockwise
//   7 transverse         8 turned a quarter anticlockwise
void apply_orientation(DecodedImage* image, const Input& input, int orientation)
{
    if (orientation < 2 || orientation > 8) return;
    const DecodedImage stored = *image;
    const bool swapped = orientation >= 5;
    const int64_t width = swapped ? stored.height : stored.width;
    const int64_t height = swapped ? stored.width : stored.height;
    const int64_t w = stored.width - 1, h = stored.height - 1;
    uint8_t* out = allocate_samples(image, input, width, height, stored.channels, stored.type);
    const size_t pixel = static_cast<size_t>(stored.channels) * sample_bytes(stored.type);
    const auto* in = static_cast<const uint8_t*>(stored.samples);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x) {
            int64_t sx = x, sy = y;
            switch (orientation) {
                case 2:
                    sx = w - x;
                    sy = y;
                    break;
                case 3:
                    sx = w - x;
                    sy = h - y;
                    break;
                case 4:
                    sx = x;
                    sy = h - y;
                    break;
                case 5:
                    sx = y;
                    sy = x;
                    break;
                case 6:
                    sx = y;
                    sy = h - x;
                    break;
                case 7:
                    sx = w - y;
                    sy = h - x;
                    break;
                case 8:
                    sx = w - y;
                    sy = x;
                    break;
            }
            std::memcpy(out + static_cast<size_t>(y) * image->row_stride + x * pixel,
                        in + static_cast<size_t>(sy) * stored.row_stride + sx * pixel, pixel);
        }
}

namespace {

// Signatures at the start of an input, one for each format read.
bool is_png(const uint8_t* d, size_t n)
{
    static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    return n >= 8 && std::memcmp(d, png, 8) == 0;
}

bool is_jpeg(const uint8_t* d, size_t n)
{
    return n >= 3 && d[0] == 0xff && d[1] == 0xd8 && d[2] == 0xff;
}

bool is_tiff(const uint8_t* d, size_t n)
{
    return n >= 4 && ((d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
                      (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43)));
}

// A netpbm magic must be followed by white space or a comment, so a stream
// of anything else is refused after its third byte.
bool is_netpbm(const uint8_t* d, size_t n)
{
    return n >= 2 && d[0] == 'P' && d[1] >= '1' && d[1] <= '7' && (n == 2 || is_space(d[2]) || d[2] == '#');
}

DecodedImage decode_netpbm_family(Input& input, const lintrace::ReadOptions& options);

// PNG and JPEG hold one picture: a page other than the first is refused.
DecodedImage decode_png_file(Input& input, const lintrace::ReadOptions&)
{
    input.check_single_page("PNG");
    return decode_png(input);
}

DecodedImage decode_jpeg_file(Input& input, const lintrace::ReadOptions&)
{
    input.check_single_page("JPEG");
    return decode_jpeg(input);
}

DecodedImage decode_tiff_file(Input& input, const lintrace::ReadOptions&)
{
    return decode_tiff(input);
}

// The formats read, each told by its signature at the start of the input
// (at most the first 8 bytes): a new format is its decoder's file and a row
// here.
// here. Its reader by rows serves the same image a band of rows at a time.
constexpr struct {
    bool (*signature)(const uint8_t* data, size_t size);
    DecodedImage (*decode)(Input& input, const lintrace::ReadOptions& options);
    std::unique_ptr<RowReader> (*rows)(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options);
} FORMATS[] = {
    {is_png, decode_png_file, png_rows},
    {is_jpeg, decode_jpeg_file, jpeg_rows},
    {is_tiff, decode_tiff_file, tiff_rows},
    {is_netpbm, decode_netpbm_family, netpbm_rows},
};
constexpr size_t SIGNATURE_BYTES = 8;

// How many of the first bytes an unknown input's message shows.
constexpr size_t SHOWN_BYTES = 8;

// The message names what the input holds, so that a user sees at once what
// it is instead (a GIF, a web page, a text): its first bytes in hexadecimal
// and as text, '.' standing for a byte that is not printable.
[[noreturn]] void unknown_format(const Input& input)
{
    std::string reason = "the file is empty";
    if (input.size() > 0) {
        const size_t shown = std::min(input.size(), SHOWN_BYTES);
        std::string hex, text;
        for (size_t k = 0; k < shown; ++k) {
            static const char digits[] = "0123456789abcdef";
            const uint8_t c = input.data()[k];
            if (k > 0) hex += ' ';
            hex += digits[c >> 4];
            hex += digits[c & 15];
            text += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
        }
        reason = "it is not a netpbm (PBM, PGM, PPM, PAM), PNG, JPEG or TIFF image: its first bytes are " + hex +
                 " (\"" + text + "\")";
    }
    throw DecodeError(std::string(lintrace::UNKNOWN_FORMAT_MESSAGE) + " " + input.name() + ": unknown format: " + reason);
}

// The header of a raw PGM as the programs' PGM reader reads it: the first token, lines
// of at most 254 bytes skipped while they begin with '#', two numbers from
// the line that ends them (the rest of it ignored), the maximum value, one
// byte. False when it does not read, within the bytes held.
}  // namespace

bool read_fixed_layout(const uint8_t* d, size_t n, NetpbmHeader* header)
{
    size_t p = 0;
    while (p < n && is_space(d[p])) ++p;
    const size_t token = p;
    while (p < n && !is_space(d[p])) ++p;
    if (p - token != 2 || d[token] != 'P' || d[token + 1] != '5') return false;
    while (p < n && is_space(d[p])) ++p;
    constexpr size_t LINE_PART = 254;
    size_t line = p;
    size_t line_end = p;
    do {
        if (p >= n) return false;
        line = p;
        while (p < n && p - line < LINE_PART && d[p] != '\n') ++p;
        if (p < n && d[p] == '\n' && p - line < LINE_PART) ++p;
        line_end = p;
    } while (d[line] == '#');
    // Numbers as "%d" reads them: white space, a sign, digits that fit an int.
    auto number = [&](size_t* q, size_t end, long long* value) {
        while (*q < end && is_space(d[*q])) ++*q;
        bool negative = false;
        if (*q < end && (d[*q] == '+' || d[*q] == '-')) negative = d[(*q)++] == '-';
        if (*q >= end || d[*q] < '0' || d[*q] > '9') return false;
        long long v = 0;
        while (*q < end && d[*q] >= '0' && d[*q] <= '9') {
            v = v * 10 + (d[(*q)++] - '0');
            if (v > INT_MAX) return false;
        }
        *value = negative ? -v : v;
        return true;
    };
    size_t q = line;
    long long columns = 0, rows = 0, max_value = 0;
    if (!number(&q, line_end, &columns) || !number(&q, line_end, &rows) || columns <= 0 || rows <= 0) return false;
    if (std::find(d + line, d + line_end, 0) != d + line_end) return false;  // text the C reader would cut
    q = line_end;
    if (!number(&q, n, &max_value) || max_value < 1 || max_value > 65535 || q >= n) return false;
    header->magic = '5';
    header->width = columns;
    header->height = rows;
    header->depth = 1;
    header->max_value = static_cast<int>(max_value);
    header->raster_offset = q + 1;
    return true;
}

bool same_header(const NetpbmHeader& a, const NetpbmHeader& b)
{
    return a.magic == b.magic && a.width == b.width && a.height == b.height && a.depth == b.depth &&
           a.max_value == b.max_value && a.raster_offset == b.raster_offset;
}

namespace {

// A raw PGM of a regular file whose raster is mapped: its rows are the
// file's own pages. Private and writable: a caller that changes a pixel
// changes its own copy of the page. False where the file cannot be mapped
// (the caller reads it instead).
bool map_pgm(const Input& input, const NetpbmHeader& header, const lintrace::ReadOptions& options,
             DecodedImage* image)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || input.fd() < 0) return false;
    const off_t offset = static_cast<off_t>(header.raster_offset);
    const off_t start = offset / page * page;
    const size_t raster = static_cast<size_t>(header.width) * static_cast<size_t>(header.height);
    const size_t length = static_cast<size_t>(offset - start) + raster;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, input.fd(), start);
    if (base == MAP_FAILED) return false;
    const auto guard = options.mapping_guard;
    if (!guard(base, static_cast<const uint8_t*>(base) + length)) {
        munmap(base, length);
        return false;
    }
    std::shared_ptr<void> mapping(base, [guard, length](void* begin) {
        munmap(begin, length);
        guard(begin, begin);
    });
    const auto* samples = static_cast<const uint8_t*>(base) + (offset - start);
    image->format = "PGM";
    image->width = header.width;
    image->height = header.height;
    image->channels = 1;
    image->type = lintrace::SampleType::UINT8;
    image->row_stride = header.width;
    image->samples = samples;
    image->storage = mapping;
    image->max_value = header.max_value;
    if (header.max_value < 255)
        for (size_t k = 0; k < raster; ++k)
            if (samples[k] > header.max_value)
                fail(input.name(), "PGM", "sample exceeds the maximum value " + std::to_string(header.max_value));
    return true;
}

DecodedImage decode_raw_pgm_fixed(Input& input, const NetpbmHeader& header);

// A raw PGM: by the fixed layout where both readings of its header agree or
// where only the fixed layout reads it (so a file read before is read the
// same), by netpbm's grammar otherwise.
DecodedImage decode_p5(Input& input, const lintrace::ReadOptions& options)
{
    input.ensure(FIXED_HEADER_LIMIT, "PGM");
    NetpbmHeader fixed;
    if (!read_fixed_layout(input.data(), input.size(), &fixed)) return decode_netpbm(input);
    input.check_pixels("PGM", fixed.width, fixed.height);
    bool netpbm_reads = true;
    NetpbmHeader grammar;
    try {
        grammar = parse_netpbm_header(input);
    } catch (const DecodeError&) {
        netpbm_reads = false;
    }
    if (netpbm_reads && !same_header(fixed, grammar)) return decode_netpbm(input);
    const long long raster = fixed.width * fixed.height * (fixed.max_value > 255 ? 2 : 1);
    DecodedImage mapped;
    if (netpbm_reads && options.mapping_guard && fixed.max_value <= 255 && input.known_size() >= 0 &&
        input.known_size() - static_cast<long long>(fixed.raster_offset) >= raster &&
        map_pgm(input, fixed, options, &mapped))
        return mapped;
    return decode_raw_pgm_fixed(input, fixed);
}

DecodedImage decode_raw_pgm_fixed(Input& input, const NetpbmHeader& header)
{
    DecodedImage image;
    image.format = "PGM";
    image.max_value = header.max_value;
    const bool wide = header.max_value > 255;
    const size_t bytes = static_cast<size_t>(header.width) * header.height * (wide ? 2 : 1);
    // A file shorter than the raster is refused before any of it is read.
    const bool short_file =
        input.known_size() >= 0 && static_cast<unsigned long long>(input.known_size()) < header.raster_offset + bytes;
    if (short_file || !input.ensure(header.raster_offset + bytes, "PGM")) truncated(input, "PGM", header);
    uint8_t* out = allocate_samples(&image, input, header.width, header.height, 1,
                                    wide ? lintrace::SampleType::UINT16 : lintrace::SampleType::UINT8);
    read_raw(input, "PGM", header, out);
    return image;
}

const char* netpbm_name(uint8_t magic)
{
    static const char* const names[] = {"PBM", "PGM", "PPM", "PBM", "PGM", "PPM", "PAM"};
    return names[magic - '1'];
}

DecodedImage decode_netpbm_family(Input& input, const lintrace::ReadOptions& options)
{
    input.check_single_page(netpbm_name(input.data()[1]));
    if (input.data()[1] == '5') return decode_p5(input, options);
    return decode_netpbm(input);
}

}  // namespace

DecodedImage decode_input(Input& input, const lintrace::ReadOptions& options)
{
    input.set_request(options.max_pixels, options.page);
    input.ensure(SIGNATURE_BYTES);
    for (const auto& format : FORMATS)
        if (format.signature(input.data(), input.size())) return format.decode(input, options);
    unknown_format(input);
}

std::unique_ptr<RowReader> open_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options)
{
    Input& input = file->input();
    input.set_request(options.max_pixels, options.page);
    input.ensure(SIGNATURE_BYTES);
    for (const auto& format : FORMATS)
        if (format.signature(input.data(), input.size())) return format.rows(std::move(file), options);
    unknown_format(input);
}

}  // namespace decode_detail

using namespace decode_detail;

double decode_detail::physical_memory()
{
    static const double physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && page_size > 0 ? static_cast<double>(pages) * static_cast<double>(page_size)
                                          : static_cast<double>(std::numeric_limits<size_t>::max() / 2);
    }();
    return physical;
}

bool lintrace::fits_in_memory(double bytes)
{
    return bytes >= 0 && bytes <= physical_memory();
}

// What the caller asks of the decoders, checked before anything is read.
void decode_detail::check_options(const lintrace::ReadOptions& options)
{
    if (options.page < 0)
        throw std::invalid_argument("the page to read is counted from 0, not " + std::to_string(options.page));
}

decode_detail::InputFile::InputFile(const std::string& path, const lintrace::ReadOptions& options)
{
    const std::string name = stdin_name(path);
    fd_ = STDIN_FILENO;
    if (path != "-") {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        // "Not found" only for a file that is not there; one that is there
        // and cannot be opened says why.
        if (fd_ < 0 && (errno == ENOENT || errno == ENOTDIR))
            throw InputNotFound("Input file not found: " + path + ": " + std::strerror(errno));
        if (fd_ < 0 && errno == EISDIR) throw InputNotFound("Input file is a directory: " + path);
        if (fd_ < 0) throw InputNotFound("Input file could not be opened: " + path + ": " + std::strerror(errno));
    }
    struct stat status {};
    long long known_size = -1;
    if (fstat(fd_, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            if (fd_ != STDIN_FILENO) close(fd_);
            throw InputNotFound("Input file is a directory: " + name);
        }
        // Files of /proc and the like say they hold nothing: they are read as streams.
        if (S_ISREG(status.st_mode) && status.st_size > 0) known_size = status.st_size;
    }
    // A regular file read from the standard input may be shorter than its
    // size from where the stream stands; only a named file is measured.
    if (path == "-") known_size = -1;
    const double limit = options.memory_limit > 0 ? options.memory_limit : physical_memory();
    input_.emplace(fd_, known_size, name, limit, path != "-");
}

decode_detail::InputFile::~InputFile()
{
    if (fd_ != STDIN_FILENO) close(fd_);
}

lintrace::Image lintrace::read_image(const std::string& path, const ReadOptions& options)
{
    check_options(options);
    InputFile file(path, options);
    return decode_input(file.input(), options);
}

lintrace::Image lintrace::read_image_bytes(const void* data, size_t size, const std::string& name,
                                           const ReadOptions& options)
{
    check_options(options);
    Input input(data, size, name, options.memory_limit > 0 ? options.memory_limit : physical_memory());
    return decode_input(input, options);
}

double lintrace::Image::sample(int64_t x, int64_t y, int k) const
{
    const uint8_t* row = static_cast<const uint8_t*>(samples) + y * row_stride;
    const int64_t index = x * channels + k;
    switch (type) {
        case lintrace::SampleType::UINT8:
            return row[index];
        case lintrace::SampleType::UINT16:
            return reinterpret_cast<const uint16_t*>(row)[index];
        case lintrace::SampleType::DOUBLE:
            return reinterpret_cast<const double*>(row)[index];
    }
    return 0;
}
