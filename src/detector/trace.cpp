// The detector's driver: one image through the stages, in order.
//
//   grey levels -> gradient and suppression (with sub-pixel placement)
//               -> hysteresis linking with junctions -> edges
//
// Each stage's file says what it reads and leaves. The edges stay in the
// stages' own records; the arrays of points a caller may ask for, and the
// connectivity list, are made from them.
#include <sched.h>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "detector.h"
#include "driver.h"
#include "lintrace/lintrace.h"
#include "run.h"

namespace lintrace {

const char* const VERSION = LINTRACE_VERSION;

namespace {

// A number in a message as %g writes it: a sigma of 1e300 is named in a few
// characters, not in 301 digits.
std::string shown(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

int mask_size(double sigma)
{
    int mask = 0;
    if (mask_for_sigma(sigma, &mask)) return mask;
    if (!(sigma > 0) || !std::isfinite(sigma))
        throw std::invalid_argument("sigma must be a positive finite number, not " + shown(sigma));
    throw std::invalid_argument("sigma " + shown(sigma) + " is too large: its mask size does not fit an int");
}

int available_processors()
{
    cpu_set_t allowed;
    int cores = 0;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
    if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(cores, 1);
}

namespace {

void check_image(const ImageView& image)
{
    if (image.width < 0 || image.height < 0)
        throw std::invalid_argument("image size " + std::to_string(image.width) + " x " +
                                    std::to_string(image.height) + " is negative");
    if (image.width > INT_MAX || image.height > INT_MAX)
        throw std::length_error("image of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                                " pixels is larger than the detector takes (at most 2147483647 on a side)");
    if (image.channels < 1 || image.channels > 4)
        throw std::invalid_argument("an image has 1 to 4 channels, not " + std::to_string(image.channels));
    if (image.type != SampleType::UINT8 && image.type != SampleType::UINT16 && image.type != SampleType::DOUBLE)
        throw std::invalid_argument("unknown sample type");
    if (image.type != SampleType::DOUBLE && !(image.max_value > 0 && std::isfinite(image.max_value)))
        throw std::invalid_argument("the largest sample value must be positive and finite");
    const int64_t row_bytes = image.width * image.channels * static_cast<int64_t>(sample_bytes(image.type));
    if (image.row_stride != 0 && image.row_stride < row_bytes && image.height > 1)
        throw std::invalid_argument("row stride " + std::to_string(image.row_stride) + " is shorter than a row of " +
                                    std::to_string(row_bytes) + " bytes");
    if (image.samples == nullptr && image.row_pointers == nullptr && image.width > 0 && image.height > 0)
        throw std::invalid_argument("image without samples");
}

template <typename T>
T sample_at(const unsigned char* row, int64_t k)
{
    T v;
    std::memcpy(&v, row + k * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return v;
}

// The grey level of one cell (column k of a row): its sample scaled to 0..255
// as v 255 / max_value, alpha laid over white, colour turned to its luma, all
// in double. The gradient at given points (point_gradient.cpp) reads single
// cells through it, so rows and cells give the same numbers.
template <typename T>
double cell_level(const ImageView& image, const unsigned char* row, int64_t c)
{
    const int channels = image.channels;
    const bool scaled = image.type != SampleType::DOUBLE;
    const auto level = [&](int64_t k) {
        const double v = static_cast<double>(sample_at<T>(row, k));
        return scaled ? v * 255.0 / image.max_value : v;
    };
    const int64_t at = c * channels;
    double grey;
    if (channels <= 2) {
        grey = level(at);
    } else {
        grey = 0.299 * level(at) + 0.587 * level(at + 1) + 0.114 * level(at + 2);
    }
    if (channels == 2 || channels == 4) {
        const double alpha = level(at + channels - 1) / 255.0;
        grey = grey * alpha + 255.0 * (1.0 - alpha);
    }
    return grey;
}

// The grey levels of one row.
template <typename T>
void levels_of_row(const ImageView& image, const unsigned char* row, double* out)
{
    for (int64_t c = 0; c < image.width; ++c) out[c] = cell_level<T>(image, row, c);
}

// The grey levels of an image as the gradient reads them. Eight-bit grey
// samples of an 8-bit scale are the grey levels themselves; everything else
// becomes rows of doubles first.
struct GreyImage {
    GreyRows grey;
    std::vector<unsigned char*> byte_rows;
    BulkVector<double> levels;
    std::vector<const double*> level_rows;
};

}  // namespace

// One row of grey levels, whatever the samples' type.
void detail::level_row(const ImageView& image, const unsigned char* row, double* out)
{
    switch (image.type) {
        case SampleType::UINT8:
            levels_of_row<uint8_t>(image, row, out);
            break;
        case SampleType::UINT16:
            levels_of_row<uint16_t>(image, row, out);
            break;
        case SampleType::DOUBLE:
            levels_of_row<double>(image, row, out);
            break;
    }
}

namespace {

using detail::level_row;

const unsigned char* row_of(const ImageView& image, int64_t r)
{
    if (image.row_pointers != nullptr) return static_cast<const unsigned char*>(image.row_pointers[r]);
    const int64_t row_bytes = image.width * image.channels * static_cast<int64_t>(sample_bytes(image.type));
    return static_cast<const unsigned char*>(image.samples) + r * (image.row_stride != 0 ? image.row_stride : row_bytes);
}

}  // namespace

namespace detail {

double grey_level_at(const ImageView& image, int64_t r, int64_t c)
{
    const unsigned char* row = row_of(image, r);
    switch (image.type) {
        case SampleType::UINT8:
            return cell_level<uint8_t>(image, row, c);
        case SampleType::UINT16:
            return cell_level<uint16_t>(image, row, c);
        case SampleType::DOUBLE:
            return cell_level<double>(image, row, c);
    }
    return 0;
}

void check_image_view(const ImageView& image)
{
    check_image(image);
}

}  // namespace detail

namespace {

void grey_image(const ImageView& image, GreyImage* out)
{
    const int columns = static_cast<int>(image.width);
    const int rows = static_cast<int>(image.height);
    if (image.type == SampleType::UINT8 && image.channels == 1 && image.max_value == 255) {
        out->byte_rows.resize(static_cast<size_t>(rows));
        for (int r = 0; r < rows; ++r) out->byte_rows[r] = const_cast<unsigned char*>(row_of(image, r));
        out->grey.bytes = out->byte_rows.data();
        return;
    }
    out->levels.resize(static_cast<size_t>(columns) * static_cast<size_t>(rows));
    out->level_rows.resize(static_cast<size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        double* levels = out->levels.data() + static_cast<size_t>(r) * columns;
        level_row(image, row_of(image, r), levels);
        out->level_rows[r] = levels;
    }
    out->grey.levels = out->level_rows.data();
}

}  // namespace

int detail::threads_of(const Settings& settings)
{
    if (settings.threads < 0)
        throw std::invalid_argument("the number of threads must not be negative, not " +
                                    std::to_string(settings.threads));
    if (settings.threads > MAX_THREADS)
        throw std::invalid_argument("the number of threads must be at most " + std::to_string(MAX_THREADS) +
                                    ", not " + std::to_string(settings.threads));
    return settings.threads == 0 ? std::min(available_processors(), MAX_THREADS) : settings.threads;
}

using detail::threads_of;

std::vector<double> grey_levels(const ImageView& image)
{
    check_image(image);
    std::vector<double> levels(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    for (int64_t r = 0; r < image.height; ++r)
        level_row(image, row_of(image, r), levels.data() + r * image.width);
    return levels;
}

bool single_precision_thresholds(double high, float* low_threshold, float* high_threshold)
{
    float rounded = static_cast<float>(high);
    if (static_cast<double>(rounded) < high) rounded = std::nextafter(rounded, INFINITY);
    if (!std::isfinite(rounded)) return false;
    *high_threshold = rounded;
    *low_threshold = static_cast<float>(0.4 * static_cast<double>(rounded));
    return true;
}

Thresholds automatic_thresholds(const ImageView& image, const Settings& settings, double fraction)
{
    check_image(image);
    const int mask = mask_size(settings.sigma);
    if (!(fraction > 0 && fraction <= 1))
        throw std::invalid_argument("the fraction must be above 0 and at most 1, not " + shown(fraction));
    const int threads = threads_of(settings);
    GreyImage grey;
    grey_image(image, &grey);
    const double high = magnitude_quantile(grey.grey, static_cast<int>(image.width), static_cast<int>(image.height),
                                           mask, settings.sigma, fraction, threads, Schedule{});
    return Thresholds{0.4 * high, high};
}

Edges trace(const ImageView& image, const Settings& settings, const std::function<void()>& samples_read)
{
    return detail::trace(image, settings, Schedule{}, [&samples_read](const char* stage) {
        if (samples_read && std::strcmp(stage, detail::SAMPLES_READ) == 0) samples_read();
    });
}

Edges trace(const ImageView& image, const Settings& settings)
{
    return detail::trace(image, settings, Schedule{}, nullptr);
}

Edges detail::trace(const ImageView& image, const Settings& settings, const Schedule& schedule,
                    const std::function<void(const char*)>& after_stage)
{
    check_image(image);
    const int mask = mask_size(settings.sigma);
    const int threads = threads_of(settings);
    if (settings.refine && !settings.sub_pixel)
        throw std::invalid_argument("refine moves the sub-pixel positions: it needs sub_pixel");
    const int columns = static_cast<int>(image.width);
    const int rows = static_cast<int>(image.height);
    GreyImage grey_levels;
    grey_image(image, &grey_levels);
    const GreyRows grey = grey_levels.grey;
    // The caller's samples are read until the last pass over the grey levels,
    // unless those are copies of our own.
    const bool reads_samples = grey.bytes != nullptr;
    const auto samples_read = [&after_stage] {
        if (after_stage) after_stage(SAMPLES_READ);
    };
    if (!reads_samples) samples_read();

    Edges edges;
    detail::Access::run(edges) = std::make_unique<detail::Run>();
    detail::Run* run = detail::Access::run(edges).get();
    run->width = image.width;
    run->height = image.height;
    run->sub_pixel = settings.sub_pixel;
    run->threads = threads;
    run->traced = true;
    Detector* detector = &run->detector;
    detector->XSIZE = columns;
    detector->YSIZE = rows;
    detector->keep_edgel_records = false;  // linking and writing find the candidates by position
    run->schedule = schedule;
    // The gradient is computed band by band as suppression consumes it, so
    // the derivative images never exist whole.
    // Refinement moves sub-pixel points; a run without them has none to move.
    RefineModel refine;
    if (settings.refine) refine = refine_model(gaussian_vectors(mask, settings.sigma, std::max(columns, rows)));
    local_extrema(detector, grey, mask, settings.sigma, settings.low_threshold, settings.high_threshold,
                  settings.sub_pixel, threads, schedule, settings.refine ? &refine : nullptr);
    if (after_stage) after_stage("suppression");
    if (!settings.gradient) {
        grey_levels.levels = BulkVector<double>();
        if (reads_samples) samples_read();
    }
    release_edgel_records(&detector->edgels);
    join_edges(detector, threads, schedule);
    if (after_stage) after_stage("linking");
    if (settings.refine) {
        refine_curvature(detector, refine);
        if (after_stage) after_stage("refinement");
    }
    if (settings.gradient) {
        // The gradient at each point's pixel, computed again by the rows that
        // hold points: suppression keeps only the candidates' positions.
        std::vector<ChainPoint> pixels;
        pixels.reserve(run->point_count());
        run->each_point([&pixels](const ChainPoint& p, bool) { pixels.push_back(p); }, [] {});
        point_gradients(grey, columns, rows, mask, settings.sigma, pixels, threads, schedule,
                        &run->magnitudes, &run->directions);
        if (after_stage) after_stage("gradient at the points");
        if (reads_samples) samples_read();
    }
    return edges;
}

Edges::Edges() = default;
Edges::Edges(Edges&&) noexcept = default;
Edges& Edges::operator=(Edges&&) noexcept = default;
Edges::~Edges() = default;

Edges Edges::from_arrays(int64_t width, int64_t height, bool sub_pixel, std::vector<Point> points,
                         std::vector<int64_t> offsets)
{
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != static_cast<int64_t>(points.size()))
        throw std::invalid_argument("edge offsets must start at 0 and end at the number of points");
    for (size_t k = 1; k < offsets.size(); ++k)
        if (offsets[k] < offsets[k - 1]) throw std::invalid_argument("edge offsets must not decrease");
    Edges edges;
    std::unique_ptr<detail::Run>& run = detail::Access::run(edges);
    run = std::make_unique<detail::Run>();
    run->width = width;
    run->height = height;
    run->sub_pixel = sub_pixel;
    run->points = std::move(points);
    run->offsets = std::move(offsets);
    return edges;
}

namespace {

const std::vector<Point> NO_POINTS;
const std::vector<int64_t> NO_OFFSETS{0};
const std::vector<uint8_t> NO_FLAGS;
const std::vector<double> NO_VALUES;

}  // namespace

int64_t Edges::width() const
{
    return run_ ? run_->width : 0;
}
int64_t Edges::height() const
{
    return run_ ? run_->height : 0;
}
bool Edges::sub_pixel() const
{
    return run_ && run_->sub_pixel;
}
size_t Edges::size() const
{
    if (!run_) return 0;
    return run_->traced ? run_->detector.edges.size() : run_->offsets.size() - 1;
}
size_t Edges::point_count() const
{
    return run_ ? run_->point_count() : 0;
}
const std::vector<double>& Edges::magnitudes() const
{
    return run_ ? run_->magnitudes : NO_VALUES;
}
const std::vector<double>& Edges::directions() const
{
    return run_ ? run_->directions : NO_VALUES;
}
const std::vector<int64_t>& Edges::group_keys() const
{
    static const std::vector<int64_t> none;
    return run_ ? run_->group_keys : none;
}

#define LINTRACE_ARRAY(name, empty)                                            \
    if (!run_) return empty;                                                   \
    std::call_once(run_->arrays_made, [this] { run_->make_arrays(); });        \
    return run_->name;

const std::vector<Point>& Edges::points() const
{
    LINTRACE_ARRAY(points, NO_POINTS)
}
const std::vector<int64_t>& Edges::offsets() const
{
    LINTRACE_ARRAY(offsets, NO_OFFSETS)
}
const std::vector<uint8_t>& Edges::closed() const
{
    LINTRACE_ARRAY(closed, NO_FLAGS)
}
const std::vector<uint8_t>& Edges::starts_at_junction() const
{
    LINTRACE_ARRAY(starts_at_junction, NO_FLAGS)
}
const std::vector<uint8_t>& Edges::ends_at_junction() const
{
    LINTRACE_ARRAY(ends_at_junction, NO_FLAGS)
}
#undef LINTRACE_ARRAY

std::span<const Point> Edges::edge(size_t k) const
{
    if (k >= size()) throw std::out_of_range("edge " + std::to_string(k) + " of " + std::to_string(size()));
    const std::vector<int64_t>& at = offsets();
    return std::span<const Point>(points().data() + at[k], static_cast<size_t>(at[k + 1] - at[k]));
}

void Edges::write_list(const std::function<void(std::string_view)>& sink) const
{
    if (!run_) return;
    if (run_->traced) {
        ::write_list(&run_->detector, run_->sub_pixel, sink, run_->threads, run_->schedule);
        return;
    }
    // Edges given as arrays: every number in the format of its mode.
    const std::vector<Point>& all = run_->points;
    const std::vector<int64_t>& at = run_->offsets;
    std::string text;
    char line[2 * 400];
    const int decimals = run_->sub_pixel ? 1 : 2;
    for (size_t k = 0; k + 1 < at.size(); ++k) {
        for (int64_t p = at[k]; p < at[k + 1]; ++p) {
            char* out = std::to_chars(line, line + 400, all[p].x, std::chars_format::fixed, decimals).ptr;
            *out++ = ' ';
            out = std::to_chars(out, out + 400, all[p].y, std::chars_format::fixed, decimals).ptr;
            *out++ = '\n';
            text.append(line, out);
        }
        text.append("-1 -1\n");
        if (text.size() >= (size_t{1} << 20)) {
            sink(text);
            text.clear();
        }
    }
    if (!text.empty()) sink(text);
}

std::string Edges::list_text() const
{
    std::string text;
    write_list([&text](std::string_view piece) { text.append(piece); });
    return text;
}

}  // namespace lintrace
