// The netpbm family: PBM (P1, P4), PGM (P2, P5), PPM (P3, P6) and PAM (P7).
//
// Headers follow netpbm's grammar: after the magic, numbers separated by any
// white space, with a comment (from '#' to the end of its line) wherever
// white space may stand, all on one line or on many; a raw format's header
// ends with one white-space byte. PAM's header is its lines of keywords up to
// ENDHDR. Every number of a header is bounded in length and checked before
// it is believed, and the raster is checked against the file (or read as it
// arrives on a stream) before the samples are allocated.
#include <cstring>
#include <string>

#include "decode_internal.h"

namespace decode_detail {

namespace {

constexpr int MAX_DIGITS = 10;            // a header number or plain sample longer than this is refused
constexpr size_t HEADER_LIMIT = 1 << 20;  // comments included
constexpr int MAX_SAMPLE_VALUE = 65535;

const char* format_name(char magic)
{
    switch (magic) {
        case '1':
        case '4':
            return "PBM";
        case '2':
        case '5':
            return "PGM";
        case '3':
        case '6':
            return "PPM";
        default:
            return "PAM";
    }
}

// A cursor over the input's bytes that reads more as it moves.
struct Cursor {
    Input& input;
    const char* format;
    size_t at = 0;

    bool more() { return input.ensure(at + 1, format); }
    uint8_t peek() const { return *input.at(at); }
    [[noreturn]] void malformed(const std::string& reason) const
    {
        fail(input.name(), format, "header is malformed: " + reason);
    }
    void check_header_length() const
    {
        if (at > HEADER_LIMIT) malformed("it is longer than " + std::to_string(HEADER_LIMIT) + " bytes");
    }
    // White space and comments; false when the input ends.
    bool skip_space(bool in_header = true)
    {
        for (;;) {
            if (in_header) check_header_length();
            if (!more()) return false;
            const uint8_t c = peek();
            if (c == '#') {
                while (more() && peek() != '\n' && peek() != '\r') {
                    ++at;
                    if (in_header) check_header_length();
                }
            } else if (is_space(c)) {
                ++at;
            } else {
                return true;
            }
        }
    }
    // A decimal number of at most MAX_DIGITS digits, after white space and comments.
    long long number(const char* what)
    {
        if (!skip_space()) malformed(std::string("the file ends before the ") + what);
        long long value = 0;
        int digits = 0;
        while (more() && peek() >= '0' && peek() <= '9') {
            if (++digits > MAX_DIGITS)
                malformed(std::string("the ") + what + " has more than " + std::to_string(MAX_DIGITS) + " digits");
            value = value * 10 + (peek() - '0');
            ++at;
        }
        if (digits == 0) malformed(std::string("the ") + what + " is not a decimal number");
        return value;
    }
};

void check_header(const Cursor& cursor, const NetpbmHeader& header)
{
    if (header.width < 1 || header.height < 1) cursor.malformed("a dimension is not positive");
    if (header.width > INT32_MAX || header.height > INT32_MAX) cursor.malformed("a dimension exceeds 2147483647");
    if (header.max_value < 1 || header.max_value > MAX_SAMPLE_VALUE)
        cursor.malformed("the maximum value is not within 1 to 65535");
}

// PAM: lines "KEYWORD value" up to "ENDHDR"; the raster starts after its line.
void parse_pam(Cursor& cursor, NetpbmHeader* header)
{
    constexpr size_t WORD_LIMIT = 64;
    long long width = -1, height = -1, depth = -1, max_value = -1;
    std::string tuple_type;
    for (;;) {
        if (!cursor.skip_space()) cursor.malformed("the file ends before ENDHDR");
        std::string keyword;
        while (cursor.more() && !is_space(cursor.peek())) {
            if (keyword.size() >= WORD_LIMIT) cursor.malformed("a keyword is longer than 64 bytes");
            keyword += static_cast<char>(cursor.peek());
            ++cursor.at;
        }
        if (keyword == "ENDHDR") {
            while (cursor.more() && cursor.peek() != '\n') {
                if (!is_space(cursor.peek())) cursor.malformed("text follows ENDHDR on its line");
                ++cursor.at;
            }
            if (!cursor.more()) cursor.malformed("the file ends before the raster");
            ++cursor.at;
            break;
        }
        // A number given twice has no one value to believe: refused. Lines
        // of TUPLTYPE add up, joined by a space, as netpbm's own reader has it.
        const auto once = [&cursor, &keyword](long long* field, const char* what) {
            if (*field >= 0) cursor.malformed(keyword + " is given twice");
            *field = cursor.number(what);
        };
        if (keyword == "WIDTH")
            once(&width, "width");
        else if (keyword == "HEIGHT")
            once(&height, "height");
        else if (keyword == "DEPTH")
            once(&depth, "depth");
        else if (keyword == "MAXVAL")
            once(&max_value, "maximum value");
        else if (keyword == "TUPLTYPE") {
            while (cursor.more() && (cursor.peek() == ' ' || cursor.peek() == '\t')) ++cursor.at;
            std::string name;
            while (cursor.more() && cursor.peek() != '\n' && cursor.peek() != '\r') {
                if (name.size() >= WORD_LIMIT) cursor.malformed("the tuple type is longer than 64 bytes");
                name += static_cast<char>(cursor.peek());
                ++cursor.at;
            }
            while (!name.empty() && is_space(static_cast<uint8_t>(name.back()))) name.pop_back();
            if (!tuple_type.empty()) tuple_type += ' ';
            tuple_type += name;
            if (tuple_type.size() > WORD_LIMIT) cursor.malformed("the tuple type is longer than 64 bytes");
        } else {
            cursor.malformed("unknown keyword \"" + keyword + "\"");
        }
    }
    if (width < 0 || height < 0 || depth < 0 || max_value < 0)
        cursor.malformed("WIDTH, HEIGHT, DEPTH and MAXVAL are not all given");
    struct TupleType {
        const char* name;
        int depth;
    };
    static const TupleType known[] = {{"GRAYSCALE", 1}, {"GRAYSCALE_ALPHA", 2}, {"RGB", 3},
                                      {"RGB_ALPHA", 4}, {"BLACKANDWHITE", 1},   {"BLACKANDWHITE_ALPHA", 2}};
    // Ink colours are samples of another meaning than light: never read as
    // light by their depth.
    static const char* const refused[] = {"CMYK", "CMYK_ALPHA"};
    const TupleType* found = nullptr;
    for (const TupleType& t : known)
        if (tuple_type == t.name) found = &t;
    for (const char* name : refused)
        if (tuple_type == name) cursor.malformed("unknown tuple type \"" + tuple_type + "\"");
    // No tuple type, or one netpbm allows but this reader does not know: the
    // samples are read by the depth, as grey, grey and alpha, RGB, RGBA.
    if (found == nullptr) {
        if (depth < 1 || depth > 4)
            cursor.malformed(tuple_type.empty() ? "a depth of " + std::to_string(depth) + " has no tuple type"
                                                : "unknown tuple type \"" + tuple_type + "\" of depth " +
                                                      std::to_string(depth) + " (only depths 1 to 4 are read)");
    } else {
        if (found->depth != depth)
            cursor.malformed("tuple type " + tuple_type + " does not have depth " + std::to_string(depth));
        if (std::strncmp(found->name, "BLACKANDWHITE", 13) == 0 && max_value != 1)
            cursor.malformed("a BLACKANDWHITE image must have maximum value 1");
    }
    header->width = width;
    header->height = height;
    header->depth = static_cast<int>(depth);
    header->max_value = max_value > MAX_SAMPLE_VALUE ? 0 : static_cast<int>(max_value);
}

// P4: rows of bits, most significant first, each row padded to whole bytes; 1 is black.
void unpack_bits(const uint8_t* in, int64_t width, uint8_t* out)
{
    for (int64_t x = 0; x < width; ++x) {
        const bool black = (in[x / 8] >> (7 - x % 8)) & 1;
        *out++ = black ? 0 : 1;
    }
}

size_t bit_row_bytes(const NetpbmHeader& header)
{
    return (static_cast<size_t>(header.width) + 7) / 8;
}

void read_raw_bits(Input& input, const NetpbmHeader& header, uint8_t* out)
{
    const size_t row_bytes = bit_row_bytes(header);
    const size_t bytes = row_bytes * header.height;
    if (!input.ensure(header.raster_offset + bytes, "PBM")) truncated(input, "PBM", header);
    const uint8_t* in = input.data() + header.raster_offset;
    for (int64_t y = 0; y < header.height; ++y) unpack_bits(in + y * row_bytes, header.width, out + y * header.width);
}

// P1, P2, P3: `count` decimal samples separated by white space (P1's digits need none).
void read_plain(Cursor& cursor, const NetpbmHeader& header, bool wide, size_t count, uint8_t* out)
{
    for (size_t k = 0; k < count; ++k) {
        if (!cursor.skip_space(false)) truncated(cursor.input, cursor.format, header);
        long long value = 0;
        if (header.magic == '1') {
            const uint8_t c = cursor.peek();
            if (c != '0' && c != '1')
                fail(cursor.input.name(), cursor.format, "raster holds a character that is not 0 or 1");
            ++cursor.at;
            value = c == '1' ? 0 : 1;
        } else {
            int digits = 0;
            while (cursor.more() && cursor.peek() >= '0' && cursor.peek() <= '9') {
                if (++digits > MAX_DIGITS) fail(cursor.input.name(), cursor.format, "raster holds an overlong number");
                value = value * 10 + (cursor.peek() - '0');
                ++cursor.at;
            }
            if (digits == 0) fail(cursor.input.name(), cursor.format, "raster holds something that is not a number");
            if (value > header.max_value)
                fail(cursor.input.name(), cursor.format,
                     "sample exceeds the maximum value " + std::to_string(header.max_value));
        }
        if (wide)
            reinterpret_cast<uint16_t*>(out)[k] = static_cast<uint16_t>(value);
        else
            out[k] = static_cast<uint8_t>(value);
    }
}

// The samples of a raw raster's bytes: one byte per sample, or two (most
// significant first) above a maximum value of 255.
void convert_raw(const Input& input, const char* format, const NetpbmHeader& header, const uint8_t* in,
                 size_t count, uint8_t* out)
{
    const bool wide = header.max_value > 255;
    for (size_t k = 0; k < count; ++k) {
        const int v = wide ? (in[2 * k] << 8 | in[2 * k + 1]) : in[k];
        if (v > header.max_value)
            fail(input.name(), format, "sample exceeds the maximum value " + std::to_string(header.max_value));
        if (wide)
            reinterpret_cast<uint16_t*>(out)[k] = static_cast<uint16_t>(v);
        else
            out[k] = static_cast<uint8_t>(v);
    }
}

// Refuses, before its samples are allocated, an image the caller does not
// allow or whose raster cannot fit in what is left of a regular file.
void check_raster(const Input& input, const char* format, const NetpbmHeader& header)
{
    input.check_pixels(format, header.width, header.height);
    const bool wide = header.max_value > 255;
    if (input.known_size() >= 0 && header.magic >= '4') {
        const double bytes = header.magic == '4' ? static_cast<double>((header.width + 7) / 8) * header.height
                                                 : static_cast<double>(header.width) * header.height * header.depth *
                                                       (wide ? 2 : 1);
        if (static_cast<double>(input.known_size()) - static_cast<double>(header.raster_offset) < bytes)
            truncated(input, format, header);
    }
    // A plain sample takes a digit and a separator at least (a P1 digit needs none).
    if (input.known_size() >= 0 && header.magic <= '3') {
        const double least =
            static_cast<double>(header.width) * header.height * header.depth * (header.magic == '1' ? 1 : 2) - 1;
        if (static_cast<double>(input.known_size()) - static_cast<double>(header.raster_offset) < least)
            truncated(input, format, header);
    }
}

// A netpbm image read row by row: a raw raster's rows read (or, passed
// over, seeked) as they are asked for, a plain one parsed as far as the
// rows asked for; only the bytes of the row at hand are held.
class NetpbmRows : public RowReader {
public:
    NetpbmRows(std::unique_ptr<InputFile> file, const NetpbmHeader& header)
        : file_(std::move(file)), input_(file_->input()), header_(header), at_(header.raster_offset)
    {
        format_ = format_name(header.magic);
        const auto type = header.max_value > 255 ? lintrace::SampleType::UINT16 : lintrace::SampleType::UINT8;
        set_shape(header.width, header.height, header.depth, type, header.max_value);
        check_row_fits(input_, 1);
        if (header.magic >= '4')
            file_row_bytes_ = header.magic == '4' ? bit_row_bytes(header) : row_bytes();
    }

protected:
    void read_rows(int64_t count, uint8_t* out) override
    {
        const size_t samples = static_cast<size_t>(header_.width) * header_.depth;
        for (int64_t r = 0; r < count; ++r, out += row_bytes()) {
            if (header_.magic <= '3') {
                Cursor cursor{input_, format_, at_};
                read_plain(cursor, header_, shape_.type == lintrace::SampleType::UINT16, samples, out);
                at_ = cursor.at;
            } else {
                if (!input_.ensure(at_ + file_row_bytes_, format_)) truncated(input_, format_, header_);
                if (header_.magic == '4')
                    unpack_bits(input_.at(at_), header_.width, out);
                else
                    convert_raw(input_, format_, header_, input_.at(at_), samples, out);
                at_ += file_row_bytes_;
            }
            input_.drop_before(at_);
        }
    }

    void skip_rows(int64_t count) override
    {
        if (header_.magic <= '3') {
            RowReader::skip_rows(count);
            return;
        }
        at_ += static_cast<size_t>(count) * file_row_bytes_;
        input_.skip_to(at_, format_);
        next_ += count;
    }

private:
    std::unique_ptr<InputFile> file_;
    Input& input_;
    NetpbmHeader header_;
    size_t at_;                   // the next byte of the raster
    size_t file_row_bytes_ = 0;  // a raw row's bytes in the file
};

}  // namespace

NetpbmHeader parse_netpbm_header(Input& input)
{
    NetpbmHeader header;
    header.magic = static_cast<char>(input.data()[1]);
    Cursor cursor{input, format_name(header.magic), 2};
    if (header.magic == '7') {
        parse_pam(cursor, &header);
    } else {
        header.width = cursor.number("width");
        header.height = cursor.number("height");
        header.depth = header.magic == '3' || header.magic == '6' ? 3 : 1;
        const bool bitmap = header.magic == '1' || header.magic == '4';
        if (bitmap) {
            header.max_value = 1;
        } else {
            const long long max_value = cursor.number("maximum value");
            header.max_value = max_value > MAX_SAMPLE_VALUE ? 0 : static_cast<int>(max_value);
        }
        if (header.magic >= '4') {
            // One white-space byte ends a raw header; the raster follows it.
            if (!cursor.more()) cursor.malformed("the file ends before the raster");
            if (!is_space(cursor.peek())) cursor.malformed("the header does not end with white space");
            ++cursor.at;
        }
    }
    check_header(cursor, header);
    header.raster_offset = cursor.at;
    return header;
}

void truncated(const Input& input, const char* format, const NetpbmHeader& header)
{
    fail(input.name(), format,
         "data is truncated: the raster holds fewer than " + std::to_string(header.width) + " x " +
             std::to_string(header.height) + " pixels");
}

void read_raw(Input& input, const char* format, const NetpbmHeader& header, uint8_t* out)
{
    const bool wide = header.max_value > 255;
    const size_t count = static_cast<size_t>(header.width) * header.height * header.depth;
    const size_t bytes = count * (wide ? 2 : 1);
    if (!input.ensure(header.raster_offset + bytes, format)) truncated(input, format, header);
    convert_raw(input, format, header, input.data() + header.raster_offset, count, out);
}

DecodedImage decode_netpbm(Input& input)
{
    const NetpbmHeader header = parse_netpbm_header(input);
    DecodedImage image;
    image.format = format_name(header.magic);
    image.max_value = header.max_value;
    const auto type = header.max_value > 255 ? lintrace::SampleType::UINT16 : lintrace::SampleType::UINT8;
    // A raster is checked against a regular file before its samples are allocated.
    check_raster(input, image.format, header);
    uint8_t* out = allocate_samples(&image, input, header.width, header.height, header.depth, type);
    switch (header.magic) {
        case '1':
        case '2':
        case '3': {
            Cursor cursor{input, image.format, header.raster_offset};
            read_plain(cursor, header, type == lintrace::SampleType::UINT16,
                       static_cast<size_t>(header.width) * header.height * header.depth, out);
            break;
        }
        case '4':
            read_raw_bits(input, header, out);
            break;
        default:
            read_raw(input, image.format, header, out);
    }
    return image;
}

// The header is the one read_image goes by: a raw PGM's by its fixed
// layout where that reads and netpbm's grammar agrees or does not read.
std::unique_ptr<RowReader> netpbm_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions&)
{
    Input& input = file->input();
    const char magic = static_cast<char>(input.data()[1]);
    input.check_single_page(format_name(magic));
    NetpbmHeader header;
    bool known = false;
    if (magic == '5') {
        input.ensure(FIXED_HEADER_LIMIT, "PGM");
        NetpbmHeader fixed;
        if (read_fixed_layout(input.data(), input.size(), &fixed)) {
            input.check_pixels("PGM", fixed.width, fixed.height);
            bool grammar_reads = true;
            NetpbmHeader grammar;
            try {
                grammar = parse_netpbm_header(input);
            } catch (const DecodeError&) {
                grammar_reads = false;
            }
            header = grammar_reads && !same_header(fixed, grammar) ? grammar : fixed;
            known = true;
        }
    }
    if (!known) header = parse_netpbm_header(input);
    check_raster(input, format_name(header.magic), header);
    return std::make_unique<NetpbmRows>(std::move(file), header);
}

}  // namespace decode_detail
