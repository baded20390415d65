// The streamed detector: an image read a band of rows at a time.
//
//   rows of samples -> grey levels (a ring of the rows the gradient reads)
//                   -> gradient and suppression of the band's rows
//                   -> the candidates into their groups, complete groups
//                      linked (groups.cpp) -> edges, a batch per band
//
// Every number is the whole image's: the gradient reads rows by their place
// in the image (and the zeros beyond its borders, as trace() does), and the
// candidates are placed at the image's rows. So the candidates are trace()'s,
// bit for bit, and so are the edges of every group.
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "detector.h"
#include "driver.h"
#include "groups.h"
#include "lintrace/stream.h"
#include "point_gradient.h"
#include "run.h"

namespace lintrace {

namespace {

// The candidates a band of rows gave: per row, how many end there, and
// their columns, strong flags and sub-pixel positions, row after row.
struct FoundRows {
    std::vector<size_t> row_end;
    std::vector<int> columns;
    std::vector<uint8_t> high;
    std::vector<double> sub_x;
    std::vector<double> sub_y;
};

// What the bands of a run share: the gradient's taps and the test's settings.
struct Front {
    int columns;
    int rows;
    int half;
    double low;
    GaussianKernel kernel;
    const VectorKernels* kernels;
    SuppressionSettings suppression;
};

void find_rows(const Front& front, GreyRows grey, int first_row, int last_row, FoundRows* out)
{
    ConvolvedGradient gradient(grey, front.columns, front.rows, &front.kernel, *front.kernels, front.low, first_row,
                               last_row, front.half + 1, front.columns - front.half);
    CandidateRows found;
    found.keep_records = false;
    out->row_end.clear();
    for (int j = first_row; j < last_row; ++j) {
        const GradientWindow window = gradient.window(j);
        const int count = suppress_row(front.suppression, j, window.above, window.here, window.below, window.dx,
                                       window.dy, &found);
        out->columns.insert(out->columns.end(), found.passed.begin(), found.passed.begin() + count);
        out->high.insert(out->high.end(), found.high.begin(), found.high.begin() + count);
        for (const SubPixel& s : found.sub_pixels) {
            out->sub_x.push_back(s.x);
            out->sub_y.push_back(s.y);
        }
        found.sub_pixels.clear();
        out->row_end.push_back(out->columns.size());
    }
}

// Work handed from one thread to another, one piece waiting at most; a
// failure on the giving side is thrown on the taking side.
template <typename T>
class Handoff {
public:
    // False once the taker has stopped.
    bool push(std::unique_ptr<T> piece)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !waiting_ || stopped_; });
        if (stopped_) return false;
        waiting_ = std::move(piece);
        changed_.notify_all();
        return true;
    }
    void fail(std::exception_ptr failure)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = failure;
        changed_.notify_all();
    }
    std::unique_ptr<T> pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return waiting_ || failure_; });
        if (!waiting_) std::rethrow_exception(failure_);
        std::unique_ptr<T> piece = std::move(waiting_);
        changed_.notify_all();
        return piece;
    }
    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<T> waiting_;
    std::exception_ptr failure_;
    bool stopped_ = false;
};

// Rows of an image view as a source, from its first row.
class ViewRows final : public RowSource {
public:
    explicit ViewRows(const ImageView& view) : view_(view) {}
    ImageView shape() const override
    {
        ImageView shape = view_;
        shape.samples = nullptr;
        shape.row_pointers = nullptr;
        shape.row_stride = 0;
        return shape;
    }
    void read(int64_t count, void* rows) override
    {
        const size_t row_bytes = static_cast<size_t>(view_.width) * view_.channels * sample_bytes(view_.type);
        unsigned char* out = static_cast<unsigned char*>(rows);
        for (int64_t k = 0; k < count && next_ < view_.height; ++k, ++next_) {
            const unsigned char* row;
            if (view_.row_pointers != nullptr)
                row = static_cast<const unsigned char*>(view_.row_pointers[next_]);
            else
                row = static_cast<const unsigned char*>(view_.samples) +
                      next_ * (view_.row_stride != 0 ? view_.row_stride : static_cast<int64_t>(row_bytes));
            std::memcpy(out, row, row_bytes);
            out += row_bytes;
        }
    }

private:
    ImageView view_;
    int64_t next_ = 0;
};

// The rows of a band that its candidates are found in at a time: about four
// megapixels, whose rows, gradient and candidates stay in the caches, and at
// least 64 rows. The groups a band completes are linked in a label image of
// the rows from the top of the tallest of them (on photographs a few hundred
// rows above the band's end), which a band of fewer rows would make many
// times its own size.
int64_t band_rows(int64_t columns, int64_t stream_rows)
{
    if (stream_rows > 0) return stream_rows;
    return std::max<int64_t>(64, (int64_t{1} << 22) / std::max<int64_t>(columns, 1));
}

// Reads the source's rows (image rows source_first ..), finds the candidates
// of rows first_row .. end_row - 1 band by band and hands them to `linker`,
// flushing it after each band.
void stream_rows(RowSource& source, int64_t source_first, int64_t image_height, int64_t first_row, int64_t end_row,
                 const Settings& settings, const Schedule& schedule, int64_t stream_rows_asked, GroupLinker* linker,
                 const RefineModel* refine, const std::function<void(const StreamProgress&)>& progress)
{
    const ImageView shape = source.shape();
    const int columns = static_cast<int>(shape.width);
    const int rows = static_cast<int>(image_height);
    const int mask = mask_size(settings.sigma);
    const int threads = detail::threads_of(settings);
    const int half = (mask + 1) / 2;
    const int64_t source_end = source_first + shape.height;

    Front front{columns, rows, half, settings.low_threshold, gaussian_vectors(mask, settings.sigma, std::max(columns, rows)),
                &vector_kernels(schedule.lanes), {}};
    front.suppression = SuppressionSettings{front.kernels, columns, rows, half, settings.low_threshold,
                                            settings.high_threshold, settings.sub_pixel,
                                            settings.sub_pixel && settings.refine ? refine : nullptr};

    // Rows strictly between half and size - half hold candidates.
    const int64_t candidates_first = std::max<int64_t>(first_row, half + 1);
    const int64_t candidates_end = columns - half > half + 1 ? std::min<int64_t>(end_row, rows - half) : candidates_first;
    const int64_t band = band_rows(columns, stream_rows_asked);

    // The grey levels of the rows the gradient reads, by their row in the
    // image: a ring of slots, row r in slot r mod the ring's size, large
    // enough for a band and the rows on either side that its gradient reads.
    const bool bytes = shape.type == SampleType::UINT8 && shape.channels == 1 && shape.max_value == 255;
    const size_t row_bytes = static_cast<size_t>(columns) * shape.channels * sample_bytes(shape.type);
    const int64_t ring = band + 2 * half + 4;
    std::vector<std::vector<unsigned char>> byte_slots(bytes ? ring : 0);
    std::vector<std::vector<double>> level_slots(bytes ? 0 : ring);
    std::vector<unsigned char> samples(bytes ? 0 : row_bytes);
    std::vector<unsigned char*> byte_rows(bytes ? rows : 0, nullptr);
    std::vector<const double*> level_rows(bytes ? 0 : rows, nullptr);
    GreyRows grey;
    if (bytes)
        grey.bytes = byte_rows.data();
    else
        grey.levels = level_rows.data();
    int64_t next_row = source_first;
    const auto read_to = [&](int64_t end) {
        for (; next_row < std::min(end, source_end); ++next_row) {
            const size_t slot = static_cast<size_t>(next_row % ring);
            const int64_t old = next_row - ring;
            if (bytes) {
                if (old >= 0) byte_rows[old] = nullptr;
                byte_slots[slot].resize(row_bytes);
                source.read(1, byte_slots[slot].data());
                byte_rows[next_row] = byte_slots[slot].data();
            } else {
                if (old >= 0) level_rows[old] = nullptr;
                level_slots[slot].resize(static_cast<size_t>(columns));
                source.read(1, samples.data());
                detail::level_row(shape, samples.data(), level_slots[slot].data());
                level_rows[next_row] = level_slots[slot].data();
            }
        }
    };

    // The front: a band's rows read and its candidates found, in pieces on
    // `finding` threads.
    struct FoundBand {
        int64_t first = 0;
        int64_t end = 0;
        std::vector<int64_t> piece_first;
        std::vector<FoundRows> pieces;
        int64_t rows_read = 0;
        bool last = false;
    };
    const auto find_band = [&](int64_t a, int finding, FoundBand* out) {
        const int64_t b = std::min(a + band, candidates_end);
        read_to(std::min<int64_t>(b + half + 1, rows));
        // The band's rows in as many pieces as pay for their threads.
        int64_t pieces = std::min<int64_t>(finding, (b - a) * columns / std::max<int64_t>(schedule.pixels_per_band, 1));
        pieces = std::max<int64_t>(1, std::min<int64_t>(pieces, b - a));
        out->first = a;
        out->end = b;
        out->pieces.resize(static_cast<size_t>(pieces));
        out->piece_first.resize(static_cast<size_t>(pieces) + 1);
        for (int64_t p = 0; p <= pieces; ++p) out->piece_first[p] = a + (b - a) * p / pieces;
        share_out(static_cast<uint64_t>(finding), static_cast<uint64_t>(pieces), [&](uint64_t p) {
            FoundRows& found = out->pieces[p];
            found.columns.clear();
            found.high.clear();
            found.sub_x.clear();
            found.sub_y.clear();
            find_rows(front, grey, static_cast<int>(out->piece_first[p]), static_cast<int>(out->piece_first[p + 1]),
                      &found);
        });
        out->last = b == candidates_end;
        if (out->last) {
            // The rows below the last candidates are read too: a file that
            // ends early is refused, as trace()'s reading of it would be.
            read_to(source_end);
        }
        out->rows_read = next_row;
    };
    // Then the band's candidates put into their groups, and the groups it
    // completes linked and handed over.
    const auto group_band = [&](const FoundBand& found) {
        for (size_t p = 0; p < found.pieces.size(); ++p) {
            const FoundRows& rows_found = found.pieces[p];
            size_t begin = 0;
            for (size_t r = 0; r < rows_found.row_end.size(); ++r) {
                const size_t end = rows_found.row_end[r];
                linker->add_row(found.piece_first[p] + static_cast<int64_t>(r), end - begin,
                                rows_found.columns.data() + begin, rows_found.high.data() + begin,
                                settings.sub_pixel ? rows_found.sub_x.data() + begin : nullptr,
                                settings.sub_pixel ? rows_found.sub_y.data() + begin : nullptr);
                begin = end;
            }
        }
    };
    uint64_t edges = 0;
    int64_t rows_told = -1;
    const auto link_groups = [&](const GroupCandidates& complete, int64_t rows_read) {
        if (!complete.x.empty()) {
            Edges linked = link_group_candidates(complete, linker->options());
            edges += linked.size();
            linker->hand_over(std::move(linked));
        } else if (rows_read == rows_told) {
            return;  // nothing new to tell
        }
        rows_told = rows_read;
        if (progress) progress(StreamProgress{rows_read, image_height, edges});
    };

    if (candidates_first >= candidates_end) {
        read_to(source_end);
    } else if (threads < 2) {
        FoundBand found;
        for (int64_t a = candidates_first; a < candidates_end; a = found.end) {
            find_band(a, 1, &found);
            group_band(found);
            link_groups(linker->take_complete(found.last), found.rows_read);
        }
    } else {
        // On several threads the rows are read, their candidates found and
        // put into groups a band ahead, on a thread of their own, while the
        // groups completed by the band before are linked and handed over.
        // Neither side depends on the other's timing, only on the bands' order.
        struct Complete {
            GroupCandidates groups;
            int64_t rows_read = 0;
            bool last = false;
        };
        Handoff<Complete> queue;
        std::thread finder([&] {
            try {
                FoundBand found;
                for (int64_t a = candidates_first; a < candidates_end; a = found.end) {
                    find_band(a, std::max(1, threads - 1), &found);
                    group_band(found);
                    auto complete = std::make_unique<Complete>();
                    complete->groups = linker->take_complete(found.last);
                    complete->rows_read = found.rows_read;
                    complete->last = found.last;
                    if (!queue.push(std::move(complete))) return;
                }
            } catch (...) {
                queue.fail(std::current_exception());
            }
        });
        struct Stop {
            Handoff<Complete>* queue;
            std::thread* finder;
            ~Stop()
            {
                queue->stop();
                finder->join();
            }
        } stop{&queue, &finder};
        for (bool last = false; !last;) {
            const std::unique_ptr<Complete> complete = queue.pop();
            link_groups(complete->groups, complete->rows_read);
            last = complete->last;
        }
    }
    link_groups(linker->take_complete(true), next_row);
}

void check_settings(const Settings& settings)
{
    mask_size(settings.sigma);
    detail::threads_of(settings);
    if (settings.refine && !settings.sub_pixel)
        throw std::invalid_argument("refine moves the sub-pixel positions: it needs sub_pixel");
    if (settings.gradient)
        throw std::invalid_argument(
            "the gradient at the points cannot be kept by a streamed run: it would need rows long gone");
}

GroupLinker::Options linker_options(int64_t width, int64_t height, const Settings& settings, const Schedule& schedule,
                                    const RefineModel* refine)
{
    GroupLinker::Options options;
    options.width = width;
    options.height = height;
    options.sub_pixel = settings.sub_pixel;
    options.threads = detail::threads_of(settings);
    options.schedule = schedule;
    options.refine = settings.refine ? refine : nullptr;
    return options;
}

RefineModel refine_model_for(const Settings& settings, int64_t width, int64_t height)
{
    if (!settings.refine) return RefineModel{};
    const int mask = mask_size(settings.sigma);
    return refine_model(gaussian_vectors(mask, settings.sigma, std::max(width, height)));
}

void check_shape(const ImageView& shape)
{
    ImageView view = shape;
    // The shape has no samples; the check is of its size and layout.
    static const unsigned char none = 0;
    view.samples = &none;
    detail::check_image_view(view);
}

}  // namespace

int band_margin(const Settings& settings)
{
    return (mask_size(settings.sigma) + 1) / 2 + 2;
}

void detail::trace_stream(RowSource& source, const Settings& settings, const Schedule& schedule, int64_t stream_rows_asked,
                          const EdgesReady& edges_ready, const std::function<void(const StreamProgress&)>& progress)
{
    check_settings(settings);
    const ImageView shape = source.shape();
    check_shape(shape);
    const RefineModel refine = refine_model_for(settings, shape.width, shape.height);
    GroupLinker linker(linker_options(shape.width, shape.height, settings, schedule, &refine), edges_ready);
    stream_rows(source, 0, shape.height, 0, shape.height, settings, schedule, stream_rows_asked, &linker, &refine,
                progress);
}

void trace_stream(RowSource& source, const Settings& settings, const EdgesReady& edges_ready,
                  const std::function<void(const StreamProgress&)>& progress)
{
    detail::trace_stream(source, settings, Schedule{}, 0, edges_ready, progress);
}

Candidates detail::trace_band(const ImageView& rows, int64_t rows_first, int64_t image_height, int64_t first_row,
                              int64_t end_row, const Settings& settings, const Schedule& schedule,
                              int64_t stream_rows_asked, const EdgesReady& edges_ready)
{
    check_settings(settings);
    detail::check_image_view(rows);
    if (image_height < 0 || image_height > INT_MAX)
        throw std::invalid_argument("image height " + std::to_string(image_height) + " is out of range");
    if (!(0 <= first_row && first_row <= end_row && end_row <= image_height))
        throw std::invalid_argument("band rows " + std::to_string(first_row) + " .. " + std::to_string(end_row) +
                                    " do not lie in an image of " + std::to_string(image_height) + " rows");
    const int64_t margin = band_margin(settings);
    const int64_t need_first = std::max<int64_t>(0, first_row - margin);
    const int64_t need_end = std::min<int64_t>(image_height, end_row + margin);
    if (rows_first > need_first || rows_first + rows.height < need_end || rows_first < 0 ||
        rows_first + rows.height > image_height)
        throw std::invalid_argument("the rows given (" + std::to_string(rows_first) + " .. " +
                                    std::to_string(rows_first + rows.height) + ") do not hold the band's rows " +
                                    std::to_string(need_first) + " .. " + std::to_string(need_end) +
                                    " with its margin, in an image of " + std::to_string(image_height) + " rows");
    const RefineModel refine = refine_model_for(settings, rows.width, image_height);
    GroupLinker::Options options = linker_options(rows.width, image_height, settings, schedule, &refine);
    // A group may go on across the band's first row into the band above, and
    // across its last row into the band below, where there are such bands.
    options.crossing_top = first_row;
    options.crossing_bottom = end_row - 1;
    GroupLinker linker(options, edges_ready);
    ViewRows source(rows);
    stream_rows(source, rows_first, image_height, first_row, end_row, settings, schedule, stream_rows_asked, &linker,
                &refine, nullptr);
    return std::move(linker.crossing());
}

Candidates trace_band(const ImageView& rows, int64_t rows_first, int64_t image_height, int64_t first_row,
                      int64_t end_row, const Settings& settings, const EdgesReady& edges_ready)
{
    return detail::trace_band(rows, rows_first, image_height, first_row, end_row, settings, Schedule{}, 0,
                              edges_ready);
}

void detail::link_crossing(const std::vector<const Candidates*>& bands, int64_t image_width, int64_t image_height,
                           const Settings& settings, const Schedule& schedule, int64_t stream_rows_asked,
                           const EdgesReady& edges_ready)
{
    check_settings(settings);
    if (image_width < 0 || image_width > INT_MAX || image_height < 0 || image_height > INT_MAX)
        throw std::invalid_argument("image size " + std::to_string(image_width) + " x " +
                                    std::to_string(image_height) + " is out of range");
    // Every candidate, in raster order.
    struct Entry {
        int64_t place;
        const Candidates* band;
        size_t k;
    };
    std::vector<Entry> all;
    for (const Candidates* band : bands) {
        const size_t n = band->x.size();
        if (band->y.size() != n || band->strong.size() != n ||
            (settings.sub_pixel && (band->sub_x.size() != n || band->sub_y.size() != n)))
            throw std::invalid_argument("crossing candidates need as many rows, strong flags" +
                                        std::string(settings.sub_pixel ? " and sub-pixel positions" : "") +
                                        " as columns");
        for (size_t k = 0; k < n; ++k) {
            const int64_t x = band->x[k], y = band->y[k];
            // Linking looks at the pixels around a candidate: it must lie
            // inside the image by a pixel at least.
            if (x < 1 || y < 1 || x >= image_width - 1 || y >= image_height - 1)
                throw std::invalid_argument("crossing candidate (" + std::to_string(x) + ", " + std::to_string(y) +
                                            ") lies outside the image or on its border");
            all.push_back(Entry{y * image_width + x, band, k});
        }
    }
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.place < b.place; });
    for (size_t k = 1; k < all.size(); ++k)
        if (all[k].place == all[k - 1].place)
            throw std::invalid_argument("two crossing candidates at (" + std::to_string(all[k].place % image_width) +
                                        ", " + std::to_string(all[k].place / image_width) + ")");
    const RefineModel refine = refine_model_for(settings, image_width, image_height);
    GroupLinker linker(linker_options(image_width, image_height, settings, schedule, &refine), edges_ready);
    const int64_t band = band_rows(image_width, stream_rows_asked);
    std::vector<int> columns;
    std::vector<uint8_t> high;
    std::vector<double> sub_x, sub_y;
    int64_t flushed_at = all.empty() ? 0 : all.front().place / image_width;
    for (size_t k = 0; k < all.size();) {
        const int64_t y = all[k].place / image_width;
        columns.clear();
        high.clear();
        sub_x.clear();
        sub_y.clear();
        for (; k < all.size() && all[k].place / image_width == y; ++k) {
            const Candidates& c = *all[k].band;
            columns.push_back(c.x[all[k].k]);
            high.push_back(c.strong[all[k].k] != 0);
            if (settings.sub_pixel) {
                sub_x.push_back(c.sub_x[all[k].k]);
                sub_y.push_back(c.sub_y[all[k].k]);
            }
        }
        // A row without candidates ends every group above it.
        if (y - flushed_at >= band) {
            linker.flush(false);
            flushed_at = y;
        }
        linker.add_row(y, columns.size(), columns.data(), high.data(), sub_x.data(), sub_y.data());
    }
    linker.flush(true);
}

void link_crossing(const std::vector<const Candidates*>& bands, int64_t image_width, int64_t image_height,
                   const Settings& settings, const EdgesReady& edges_ready)
{
    detail::link_crossing(bands, image_width, image_height, settings, Schedule{}, 0, edges_ready);
}

}  // namespace lintrace
