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
#include <bit>
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

// "%.1f" of v into out; returns the end. The digits are those of the exact
// binary value of v times ten, rounded to the nearest integer with ties to
// even, as printf rounds: for 1 <= v < 2^40, v = m 2^-s with a 53-bit m and
// 12 < s <= 52, so 10 v = 10 m 2^-s, where 10 m fits 64 bits and the s bits
// shifted out decide the rounding. Other values go to std::to_chars.
char* format_one_decimal(double v, char* out, char* limit)
{
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int biased = static_cast<int>(bits >> 52);  // sign bit set for negative values
    const int shift = 1075 - biased;
    if (biased < 1023 || biased >= 1063) return std::to_chars(out, limit, v, std::chars_format::fixed, 1).ptr;
    const uint64_t tenfold = ((bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52)) * 10;
    uint64_t tenths = tenfold >> shift;
    const uint64_t rest = tenfold & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (tenths & 1) != 0)) ++tenths;
    out = std::to_chars(out, limit, tenths / 10).ptr;
    *out++ = '.';
    *out++ = static_cast<char>('0' + tenths % 10);
    return out;
}

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
    char* end = format_one_decimal(x, line, line + 380);
    *end++ = ' ';
    end = format_one_decimal(y, end, end + 380);
    *end++ = '\n';
    text->append(line, static_cast<size_t>(end - line));
}

// The sub-pixel position of the candidate at a pixel.
void put_sub_pixel_of(const EdgelTable& table, int64_t x, int64_t y, std::string* text)
{
    const uint32_t record = edgel_index(&table, x, y);
    put_sub_pixel_line(table.sub_pixels[record].x, table.sub_pixels[record].y, text);
}

void put_junction(const Detector* detector, bool sub_pixel, const Links& part, uint32_t index, std::string* text)
{
    const Junction& junction = part.junctions[index];
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
    constexpr size_t points_ahead = 24;
    constexpr size_t words_ahead = 16;
    constexpr size_t sub_pixels_ahead = 8;
    const std::vector<Edge>& edges = detector->edges;
    const EdgelTable& table = detector->edgels;
    const size_t count = edges.size();
    const auto first_point = [detector](const Edge& edge) -> const ChainPoint& {
        return detector->links[edge.part].edge_points[edge.first_point];
    };
    for (size_t place = first; place < last; ++place) {
        if (place + points_ahead < last) __builtin_prefetch(&first_point(edges[count - 1 - place - points_ahead]));
        if (sub_pixel && place + words_ahead < last) {
            const ChainPoint& p = first_point(edges[count - 1 - place - words_ahead]);
            __builtin_prefetch(&table.words[p.y * table.words_per_row + (p.x >> 6)]);
        }
        if (sub_pixel && place + sub_pixels_ahead < last) {
            const Edge& ahead = edges[count - 1 - place - sub_pixels_ahead];
            const ChainPoint* points = &first_point(ahead);
            for (uint32_t k = 0; k < ahead.point_count; ++k)
                __builtin_prefetch(&table.sub_pixels[edgel_index(&table, points[k].x, points[k].y)]);
        }
        const Edge& edge = edges[count - 1 - place];
        const Links& part = detector->links[edge.part];
        if (edge.start_junction != NO_JUNCTION) put_junction(detector, sub_pixel, part, edge.start_junction, text);
        for (uint32_t k = 0; k < edge.point_count; ++k) {
            const ChainPoint& point = part.edge_points[edge.first_point + k];
            if (sub_pixel)
                put_sub_pixel_of(detector->edgels, point.x, point.y, text);
            else
                put_pixel_line(point.x, point.y, text);
        }
        if (edge.end_junction != NO_JUNCTION) put_junction(detector, sub_pixel, part, edge.end_junction, text);
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
          pieces_((detector->edges.size() + edges_per_piece - 1) / edges_per_piece),
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
        const size_t last = std::min(first + edges_per_piece_, detector_->edges.size());
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
