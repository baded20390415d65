// Images read a band of rows at a time, and windows of images.
//
// Each format's decoder file has its reader by rows beside its whole-image
// decoder, sharing its conversion of samples, so that the rows are those
// read_image gives. What is common to them is here: the count of rows
// handed over, the window cut from rows read from the top (for the formats
// that cannot seek to a row), the image read whole where rows cannot come
// in order, and the two entry points.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode_internal.h"

namespace decode_detail {

void RowReader::read(int64_t count, void* rows)
{
    if (count < 0 || count > shape_.height - next_)
        throw std::invalid_argument("rows " + std::to_string(next_) + " to " + std::to_string(next_ + count) +
                                    " asked for, of an image of " + std::to_string(shape_.height) + " rows");
    // After a failure the codec's state is lost (libpng and libjpeg leave
    // theirs by a long jump): the same failure is raised again, never read past.
    if (!failure_.empty()) throw DecodeError(failure_);
    if (count == 0) return;
    try {
        read_rows(count, static_cast<uint8_t*>(rows));
    } catch (const DecodeError& e) {
        failure_ = e.what();
        throw;
    }
    next_ += count;
}

void RowReader::skip_rows(int64_t count)
{
    std::vector<uint8_t> row(row_bytes());
    for (int64_t r = 0; r < count; ++r) {
        read_rows(1, row.data());
        ++next_;
    }
}

void RowReader::read_window(int64_t x, int64_t y, int64_t width, int64_t height, uint8_t* out)
{
    skip_rows(y - next_);
    std::vector<uint8_t> row(row_bytes());
    const size_t pixel = pixel_bytes();
    for (int64_t r = 0; r < height; ++r) {
        read_rows(1, row.data());
        ++next_;
        std::memcpy(out + static_cast<size_t>(r) * width * pixel, row.data() + x * pixel, width * pixel);
    }
}

void RowReader::set_shape(int64_t width, int64_t height, int channels, lintrace::SampleType type, double max_value)
{
    shape_ = lintrace::ImageView{nullptr, width, height, 0, type, channels, max_value, nullptr};
}

void RowReader::check_row_fits(const Input& input, double rows) const
{
    const double bytes = rows * static_cast<double>(shape_.width) * static_cast<double>(pixel_bytes());
    if (!input.fits(bytes))
        fail(input.name(), format_,
             (rows == 1 ? std::string("row of ") : "band of " + std::to_string(static_cast<long long>(rows)) +
                                                       " rows of ") +
                 std::to_string(shape_.width) + " pixels does not fit in memory");
}

namespace {

// An image read whole, its rows served from memory.
class WholeRows : public RowReader {
public:
    explicit WholeRows(lintrace::Image image) : image_(std::move(image))
    {
        format_ = image_.format;
        metadata_ = image_.metadata;
        set_shape(image_.width, image_.height, image_.channels, image_.type, image_.max_value);
    }
    bool streamed() const override { return false; }

    void read_window(int64_t x, int64_t y, int64_t width, int64_t height, uint8_t* out) override
    {
        const size_t pixel = pixel_bytes();
        for (int64_t r = 0; r < height; ++r)
            std::memcpy(out + static_cast<size_t>(r) * width * pixel, row(y + r) + x * pixel, width * pixel);
    }

protected:
    void read_rows(int64_t count, uint8_t* out) override
    {
        for (int64_t r = 0; r < count; ++r) std::memcpy(out + r * row_bytes(), row(next_ + r), row_bytes());
    }
    void skip_rows(int64_t count) override { next_ += count; }

private:
    const uint8_t* row(int64_t y) const { return static_cast<const uint8_t*>(image_.samples) + y * image_.row_stride; }

    lintrace::Image image_;
};

}  // namespace

std::unique_ptr<RowReader> whole_rows(std::unique_ptr<InputFile> file, const lintrace::ReadOptions& options)
{
    return std::make_unique<WholeRows>(decode_input(file->input(), options));
}

}  // namespace decode_detail

using namespace decode_detail;

std::unique_ptr<lintrace::ImageRows> lintrace::open_image_rows(const std::string& path, const ReadOptions& options)
{
    check_options(options);
    return open_rows(std::make_unique<InputFile>(path, options), options);
}

lintrace::Image lintrace::read_image_window(const std::string& path, int64_t x, int64_t y, int64_t width,
                                            int64_t height, const ReadOptions& options)
{
    check_options(options);
    const std::string name = path == "-" ? "standard input" : path;
    const std::string asked = std::to_string(width) + " x " + std::to_string(height) + " pixels at column " +
                              std::to_string(x) + ", row " + std::to_string(y);
    if (width <= 0 || height <= 0) throw std::invalid_argument(name + ": the window of " + asked + " holds no pixel");
    std::unique_ptr<RowReader> rows = open_rows(std::make_unique<InputFile>(path, options), options);
    const ImageView shape = rows->shape();
    // In 128 bits: a window's far corner may lie beyond what 64 bits hold.
    const auto clip = [](int64_t start, int64_t size, int64_t limit, int64_t* first, int64_t* end) {
        const __int128 low = std::max<__int128>(start, 0);
        const __int128 high = std::min<__int128>(static_cast<__int128>(start) + size, limit);
        *first = static_cast<int64_t>(low);
        *end = static_cast<int64_t>(std::max(high, low));
    };
    int64_t left, right, top, bottom;
    clip(x, width, shape.width, &left, &right);
    clip(y, height, shape.height, &top, &bottom);
    if (left >= right || top >= bottom)
        throw std::invalid_argument(name + ": the window of " + asked + " lies outside the image of " +
                                    std::to_string(shape.width) + " x " + std::to_string(shape.height) + " pixels");
    Image image;
    image.format = rows->format();
    image.metadata = rows->metadata();
    image.max_value = shape.max_value;
    image.width = right - left;
    image.height = bottom - top;
    image.channels = shape.channels;
    image.type = shape.type;
    image.row_stride = image.width * static_cast<int64_t>(rows->pixel_bytes());
    const double bytes = static_cast<double>(image.row_stride) * static_cast<double>(image.height);
    const double limit = options.memory_limit > 0 ? options.memory_limit : physical_memory();
    if (bytes > limit)
        fail(name, image.format,
             "window of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                 " pixels does not fit in memory");
    std::shared_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(bytes)]);
    rows->read_window(left, top, image.width, image.height, block.get());
    image.samples = block.get();
    image.storage = block;
    return image;
}
