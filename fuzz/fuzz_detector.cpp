// Fuzzing the whole detector against its literal twin: the first bytes choose
// the image size, sigma, the thresholds, the output mode and the number of
// threads, the rest are the grey values. The product's connectivity list must
// be the twin's, byte for byte; the gradient the writers compute from the
// image must be the one a run keeps, and every format must be written, with
// simplification and polygons, without a fault. The image streamed a few rows
// at a time, and traced in bands whose crossing groups are linked afterwards,
// must give the same edges, each with the same points.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "lintrace/formats.h"
#include "literal/literal.h"

namespace {

// The blocks of a connectivity list, sorted.
std::vector<std::string> sorted_blocks(const std::string& list)
{
    std::vector<std::string> blocks;
    size_t start = 0;
    for (size_t end; (end = list.find("-1 -1\n", start)) != std::string::npos; start = end + 6)
        blocks.push_back(list.substr(start, end + 6 - start));
    std::sort(blocks.begin(), blocks.end());
    return blocks;
}

class Rows final : public lintrace::RowSource {
public:
    explicit Rows(const lintrace::ImageView& view) : view_(view) {}
    lintrace::ImageView shape() const override { return lintrace::ImageView{nullptr, view_.width, view_.height}; }
    void read(int64_t count, void* rows) override
    {
        const auto* from = static_cast<const unsigned char*>(view_.samples) + next_ * view_.width;
        std::copy(from, from + count * view_.width, static_cast<unsigned char*>(rows));
        next_ += count;
    }

private:
    lintrace::ImageView view_;
    int64_t next_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) return 0;
    const int columns = 1 + data[0] % 40;
    const int rows = 1 + data[1] % 40;
    const double sigma = static_cast<float>(0.25 + data[2] / 50.0);
    const float low = static_cast<float>(data[3]) / 16.0f;
    const float high = low + static_cast<float>(data[4]) / 16.0f;
    const bool sub_pixel = (data[5] & 1) != 0;
    const int threads = 1 + (data[5] >> 1) % 3;
    const int lanes = 1 << (data[5] >> 3) % 4;
    std::vector<unsigned char> image(static_cast<size_t>(columns) * rows);
    for (size_t k = 0; k < image.size(); ++k) image[k] = size > 6 ? data[6 + k % (size - 6)] : 0;

    const lintrace::Settings settings{sigma, static_cast<double>(low), static_cast<double>(high), sub_pixel, threads};
    const lintrace::ImageView view = lintrace::ImageView::grey8(image.data(), columns, rows);
    const lintrace::Edges edges = lintrace::detail::trace(view, settings, Schedule{16, 8, 2, lanes});
    const std::string text = edges.list_text();

    lintrace::Settings keeping = settings;
    keeping.gradient = true;
    const lintrace::Edges kept = lintrace::detail::trace(view, keeping, Schedule{16, 8, 2, lanes});
    const auto written = [](const lintrace::Edges& e, const char* format, const lintrace::WriteOptions& options) {
        std::string out;
        lintrace::write(e, *lintrace::find_format(format), options, [&out](std::string_view piece) { out += piece; });
        return out;
    };
    lintrace::WriteOptions options;
    options.settings = settings;
    const std::string from_run = written(kept, "csv", options);
    options.image = &view;
    if (written(edges, "csv", options) != from_run) {
        std::fprintf(stderr, "the gradient from the image differs from the run's\n");
        std::abort();
    }
    options.simplify = data[6] / 64.0;
    options.precision = data[7] % 19 - 1;
    options.polygons = true;
    options.min_points = data[7] % 3;
    for (const char* format : {"svg", "geojson", "csv", "dxf"}) written(edges, format, options);

    const int64_t band = 1 + data[7] % 5;
    std::string streamed, banded;
    Rows source(view);
    lintrace::detail::trace_stream(source, settings, Schedule{16, 8, 2, lanes}, band,
                                   [&streamed](lintrace::Edges&& e) { streamed += e.list_text(); }, nullptr);
    std::vector<lintrace::Candidates> crossing;
    for (int64_t first = 0; first < rows; first += band + 2) {
        const int64_t end = std::min<int64_t>(rows, first + band + 2);
        crossing.push_back(lintrace::detail::trace_band(view, 0, rows, first, end, settings, Schedule{16, 8, 2, lanes},
                                                        band, [&banded](lintrace::Edges&& e) { banded += e.list_text(); }));
    }
    std::vector<const lintrace::Candidates*> all;
    for (const lintrace::Candidates& c : crossing) all.push_back(&c);
    lintrace::detail::link_crossing(all, columns, rows, settings, Schedule{16, 8, 2, lanes}, band,
                                    [&banded](lintrace::Edges&& e) { banded += e.list_text(); });
    if (sorted_blocks(streamed) != sorted_blocks(text) || sorted_blocks(banded) != sorted_blocks(text)) {
        std::fprintf(stderr, "streamed or banded edges differ from the whole run's on a %dx%d image\n", columns, rows);
        std::abort();
    }

    const std::string expected = literal::run(image, columns, rows, sigma, low, high, sub_pixel);
    if (text != expected) {
        std::fprintf(stderr, "lists differ on a %dx%d image, sigma %g, thresholds %g/%g\n", columns, rows, sigma,
                     static_cast<double>(low), static_cast<double>(high));
        std::abort();
    }
    return 0;
}
