// The lintrace detector as a library: one call takes a grey (or colour)
// image through the whole detector and returns its linked edges in memory;
// another writes them as the connectivity list, byte for byte as the
// lintrace program does.
//
//     lintrace::Settings settings;
//     settings.sigma = 1.0;
//     lintrace::Edges edges = lintrace::trace(lintrace::ImageView::grey8(pixels, width, height), settings);
//     for (size_t k = 0; k < edges.size(); ++k)
//         for (const lintrace::Point& p : edges.edge(k)) ...
//
// The library holds no mutable global state: runs on several threads at once
// are independent and give the results separate processes would. It never
// ends the process; failures are thrown as exceptions of standard types:
//   std::invalid_argument  bad settings or a bad image view (what() says which)
//   std::bad_alloc         memory exhausted
//   std::length_error      an image too large for the detector's records
// and whatever a writer's sink throws (a failed write) is passed on to the
// caller once the writer's threads have stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lintrace/samples.h"

namespace lintrace {

// The version of the library and the programs.
extern const char* const VERSION;

// What a run does. The defaults are the lintrace program's: its thresholds
// are single-precision numbers, so the defaults are the floats nearest to 1.4
// and 2.0, widened.
struct Settings {
    double sigma = 0.4;                                     // of the Gaussian, in pixels; positive and finite
    double low_threshold = static_cast<double>(1.4f);       // candidates need a gradient magnitude at least this
    double high_threshold = static_cast<double>(2.0f);      // chains start only at magnitudes at least this
    bool sub_pixel = false;                                 // positions placed between pixels
    int threads = 0;  // 0: every processor the process may run on (at most MAX_THREADS); 1 to MAX_THREADS
    bool gradient = false;  // keep each point's gradient (Edges::magnitudes, directions): a second gradient pass
    // With sub_pixel: each point moved nearer the true edge (the same edges,
    // points and order); without sub_pixel it is refused.
    bool refine = false;
};

// The mask size a sigma gives: 4 sigma + 0.5 truncated, at least 3, made odd.
// Throws std::invalid_argument when sigma is not positive and finite or the
// mask does not fit an int.
int mask_size(double sigma);

// Every processor the calling process may run on (taskset and container
// limits respected), at least 1.
int available_processors();

// The most threads a run may be given: Settings::threads above it is refused
// with std::invalid_argument. A stage starts no more threads than it has
// pieces of work, so a small image costs the same at any number.
constexpr int MAX_THREADS = 1024;

struct Point {
    double x;  // column, growing to the right; pixel centres at whole numbers
    double y;  // row, growing downwards
};

class Edges;
namespace detail {
struct Run;     // what an Edges object holds, inside the library
struct Access;  // the library's own way to it
}  // namespace detail

// Thresholds chosen from an image's own gradient.
struct Thresholds {
    double low;
    double high;
};

// The thresholds of `fraction` (above 0, at most 1) of the image: high is the
// smallest gradient magnitude that at least `fraction` of the pixels inside
// the border margin (the pixels suppression can keep, more than half a mask
// from every border) do not exceed, low is 0.4 high. Uses settings.sigma and
// settings.threads. An image without a pixel inside the margin gives 0 and 0.
Thresholds automatic_thresholds(const ImageView& image, const Settings& settings, double fraction);

// Chosen thresholds as the single-precision numbers the lintrace program's
// -lt and -ht hold, so that the switches printed replay the run exactly: the
// high one rounded up, to the smallest float not below it (which the same
// fraction of the magnitudes does not exceed, and no smaller float does), the
// low one the float nearest to 0.4 times that. False when the high one is
// beyond the floats' range.
bool single_precision_thresholds(double high, float* low_threshold, float* high_threshold);

// The edges of one run, in the order of the connectivity list (the edge traced
// last first). Edge k is points()[offsets()[k]] .. points()[offsets()[k + 1] - 1]:
// its start junction (if any), its chain from head to tail, its end junction
// (if any). Positions are the pixels', or the sub-pixel ones when the run was
// made with sub_pixel.
class Edges {
public:
    Edges();
    Edges(Edges&&) noexcept;
    Edges& operator=(Edges&&) noexcept;
    ~Edges();

    // Edges given as arrays (a list read back, or made by hand); offsets has
    // one entry more than there are edges, starts at 0, never decreases and
    // ends at points.size(). Throws std::invalid_argument otherwise.
    static Edges from_arrays(int64_t width, int64_t height, bool sub_pixel, std::vector<Point> points,
                             std::vector<int64_t> offsets);

    int64_t width() const;
    int64_t height() const;
    bool sub_pixel() const;
    size_t size() const;  // the number of edges
    size_t point_count() const;  // the number of points of every edge, junctions included

    // The arrays are made on first use (from any number of threads at once).
    const std::vector<Point>& points() const;
    const std::vector<int64_t>& offsets() const;
    std::span<const Point> edge(size_t k) const;

    // Per edge, what linking found: the walk closed on itself; the edge starts
    // (ends) at a junction. Empty for edges made from arrays.
    const std::vector<uint8_t>& closed() const;
    const std::vector<uint8_t>& starts_at_junction() const;
    const std::vector<uint8_t>& ends_at_junction() const;

    // Per point, in the order of points(), the gradient the detector computed
    // at the point's pixel: its magnitude and its direction atan2(dy, dx) in
    // radians (y growing downwards, so a positive angle turns clockwise on
    // the screen). Empty unless the run was made with Settings::gradient.
    const std::vector<double>& magnitudes() const;
    const std::vector<double>& directions() const;

    // Per edge of a streamed run (lintrace/stream.h), the key of its 8-connected
    // group of candidates: two numbers, the row of the group's lowest
    // candidate and the raster place (row * width + column) of its first.
    // Empty for the edges of trace() and edges made from arrays.
    const std::vector<int64_t>& group_keys() const;

    // The connectivity list, handed to `sink` in pieces in order.
    void write_list(const std::function<void(std::string_view)>& sink) const;
    std::string list_text() const;

    // The edges as vector data (SVG, GeoJSON, CSV, DXF) are written by the
    // formats of lintrace/formats.h.

private:
    friend struct detail::Access;
    std::unique_ptr<detail::Run> run_;
};

// The grey levels the detector traces for an image, row after row: each
// sample scaled to 0..255, alpha laid over white, colour turned to its luma
// (see ImageView).
std::vector<double> grey_levels(const ImageView& image);

// Runs the whole detector: gradient, suppression with sub-pixel placement,
// hysteresis linking with junctions.
Edges trace(const ImageView& image, const Settings& settings);
// The same, calling `samples_read` as soon as the image's samples are read
// for the last time (after suppression, or after the gradient at the points
// when the run keeps it), so that a caller holding a large image can let it
// go before the linking's memory is taken.
Edges trace(const ImageView& image, const Settings& settings, const std::function<void()>& samples_read);

}  // namespace lintrace
