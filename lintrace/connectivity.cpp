// The connectivity list file.
//
// Writes every edge that linking traced as one block of point lines closed by
// the line "-1 -1", the newest edge first. A block holds the start junction,
// the chain from head to tail, then the end junction. In pixel mode a point
// line is the pixel position with two decimals, "%.2f %.2f"; in sub-pixel
// mode it is the sub-pixel position with one decimal, "%.1f %.1f". Numbers
// are formatted with std::to_chars, which gives the digits C's printf gives
// for the same precision, without its locale and at a fraction of its cost.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "detector.h"
#include "outfile.h"

namespace {

constexpr size_t CHUNK_BYTES = 1 << 20;

void put_pixel_line(int64_t x, int64_t y, std::string* text)
{
    char line[64];
    char* end = std::to_chars(line, line + 24, x).ptr;
    std::memcpy(end, ".00 ", 4);
    end = std::to_chars(end + 4, end + 28, y).ptr;
    std::memcpy(end, ".00\n", 4);
    text->append(line, static_cast<size_t>(end + 4 - line));
}

void put_sub_pixel_line(double x, double y, std::string* text)
{
    char line[768];  // room for any double in fixed notation
    char* end = std::to_chars(line, line + sizeof line, x, std::chars_format::fixed, 1).ptr;
    *end++ = ' ';
    end = std::to_chars(end, line + sizeof line, y, std::chars_format::fixed, 1).ptr;
    *end++ = '\n';
    text->append(line, static_cast<size_t>(end - line));
}

// The sub-pixel position of the candidate at a pixel.
void put_sub_pixel_of(const EdgelTable& table, int64_t x, int64_t y, std::string* text)
{
    const uint32_t record = edgel_index(&table, x, y);
    put_sub_pixel_line(table.sub_x[record], table.sub_y[record], text);
}

void put_junction(const Detector* detector, bool sub_pixel, uint32_t index, std::string* text)
{
    const Junction& junction = detector->links.junctions[index];
    if (!sub_pixel)
        put_pixel_line(junction.x, junction.y, text);
    else if (junction.has_edgel)
        put_sub_pixel_of(detector->edgels, junction.x, junction.y, text);
    else
        put_sub_pixel_line(0.0, 0.0, text);
}

}  // namespace

void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, std::string* text)
{
    // The edges are written in the order they were traced, which jumps across
    // the image: the points of the edges a few places ahead are fetched early.
    constexpr size_t points_ahead = 8;
    const Links& links = detector->links;
    const size_t count = links.edges.size();
    for (size_t place = first; place < last; ++place) {
        if (place + points_ahead < last)
            __builtin_prefetch(&links.edge_points[links.edges[count - 1 - place - points_ahead].first_point]);
        const Edge& edge = links.edges[count - 1 - place];
        if (edge.start_junction != NO_JUNCTION) put_junction(detector, sub_pixel, edge.start_junction, text);
        for (uint32_t k = 0; k < edge.point_count; ++k) {
            const ChainPoint& point = links.edge_points[edge.first_point + k];
            if (sub_pixel)
                put_sub_pixel_of(detector->edgels, point.x, point.y, text);
            else
                put_pixel_line(point.x, point.y, text);
        }
        if (edge.end_junction != NO_JUNCTION) put_junction(detector, sub_pixel, edge.end_junction, text);
        text->append("-1 -1\n");
    }
}

namespace {

// Pieces of the list are formatted by several threads and written in order by
// the calling thread, with at most `slots` pieces in flight.
class WritingPipeline {
public:
    WritingPipeline(const Detector* detector, bool sub_pixel, size_t edges_per_piece, size_t slots)
        : detector_(detector),
          sub_pixel_(sub_pixel),
          edges_per_piece_(edges_per_piece),
          pieces_((detector->links.edges.size() + edges_per_piece - 1) / edges_per_piece),
          texts_(slots),
          ready_(slots, false)
    {
    }

    // Formats pieces until none is left.
    void format()
    {
        while (format_one(true)) {
        }
    }

    // Writes every piece in order. While the next piece is not ready, the
    // writer formats one itself.
    void write(OutputFile* out)
    {
        for (size_t piece = 0; piece < pieces_; ++piece) {
            std::string text;
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (ready_[piece % texts_.size()]) {
                        text.swap(texts_[piece % texts_.size()]);
                        ready_[piece % texts_.size()] = false;
                        ++next_to_write_;
                        break;
                    }
                }
                if (!format_one(false)) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this, piece] { return ready_[piece % texts_.size()]; });
                }
            }
            changed_.notify_all();
            out->write(text.data(), text.size());
        }
    }

private:
    // Formats the next piece; false when there is none to take (or, unless
    // `wait`, none that has room).
    bool format_one(bool wait)
    {
        size_t piece;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto has_room = [this] { return next_to_format_ < next_to_write_ + texts_.size(); };
            if (wait) changed_.wait(lock, [this, &has_room] { return next_to_format_ >= pieces_ || has_room(); });
            if (next_to_format_ >= pieces_ || !has_room()) return false;
            piece = next_to_format_++;
        }
        std::string text;
        text.reserve(CHUNK_BYTES);
        const size_t first = piece * edges_per_piece_;
        const size_t last = std::min(first + edges_per_piece_, detector_->links.edges.size());
        format_edges(detector_, sub_pixel_, first, last, &text);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_[piece % texts_.size()].swap(text);
            ready_[piece % texts_.size()] = true;
        }
        changed_.notify_all();
        return true;
    }

    const Detector* detector_;
    bool sub_pixel_;
    size_t edges_per_piece_;
    size_t pieces_;
    std::vector<std::string> texts_;
    std::vector<bool> ready_;
    size_t next_to_format_ = 0;
    size_t next_to_write_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

void write_file(const Detector* detector, const char* path, bool sub_pixel, int threads)
{
    OutputFile out;
    if (!out.open(path)) {
        std::fprintf(stderr, "ERROR, can't open file \"%s\" for \"w\"\n", path);
        std::exit(-1);
    }
    // About a megabyte of text per piece: edges of a dozen lines of a dozen bytes.
    constexpr size_t edges_per_piece = CHUNK_BYTES / 128;
    const int helpers = std::max(1, threads) - 1;
    WritingPipeline pipeline(detector, sub_pixel, edges_per_piece, 2 * static_cast<size_t>(helpers + 1));
    std::vector<std::thread> workers;
    for (int k = 0; k < helpers; ++k) {
        try {
            workers.emplace_back(&WritingPipeline::format, &pipeline);
        } catch (const std::system_error&) {
            break;
        }
    }
    pipeline.write(&out);
    for (std::thread& worker : workers) worker.join();
    if (!out.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", path, std::strerror(errno));
        std::exit(-1);
    }
}
