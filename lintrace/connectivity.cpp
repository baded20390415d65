// The connectivity list file.
//
// Writes every edge that linking traced as one block of point lines closed by
// the line "-1 -1", the newest edge first. A block holds the start junction,
// the chain from head to tail, then the end junction. In pixel mode a point
// line is the pixel position with two decimals, "%.2f %.2f"; in sub-pixel
// mode it is the sub-pixel position with one decimal, "%.1f %.1f". Numbers
// are formatted with std::to_chars, which gives the digits C's printf gives
// for the same precision, without its locale and at a fraction of its cost;
// the whole numbers up to the image's size once per list, into a table whose
// texts the lines copy.
#include <algorithm>
#include <bit>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "detector.h"
#include "parallel.h"

// "%.1f" of v into out; returns the end. The digits are those of the exact
// binary value of v times ten, rounded to the nearest integer with ties to
// even, as printf rounds: for 1 <= v < 2^40, v = m 2^-s with a 53-bit m and
// 12 < s <= 52, so 10 v = 10 m 2^-s, where 10 m fits 64 bits and the s bits
// shifted out decide the rounding. Other values go to std::to_chars.
namespace {

// Ten times v rounded as printf rounds it, when 1 <= v < 2^40.
bool tenths_of(double v, uint64_t* tenths)
{
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int biased = static_cast<int>(bits >> 52);  // sign bit set for negative values
    if (biased < 1023 || biased >= 1063) return false;
    const int shift = 1075 - biased;
    const uint64_t tenfold = ((bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52)) * 10;
    *tenths = tenfold >> shift;
    const uint64_t rest = tenfold & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (*tenths & 1) != 0)) ++*tenths;
    return true;
}

}  // namespace

char* format_one_decimal(double v, char* out, char* limit)
{
    uint64_t tenths;
    if (!tenths_of(v, &tenths)) return std::to_chars(out, limit, v, std::chars_format::fixed, 1).ptr;
    out = std::to_chars(out, limit, tenths / 10).ptr;
    *out++ = '.';
    *out++ = static_cast<char>('0' + tenths % 10);
    return out;
}

namespace {

constexpr size_t CHUNK_BYTES = 1 << 20;

// Room for one line of two numbers: a pixel line takes at most 2 x 24
// characters; a sub-pixel line, whose doubles can in principle be of any
// size, at most 2 x 330.
constexpr size_t PIXEL_LINE_ROOM = 64;
constexpr size_t SUB_PIXEL_LINE_ROOM = 768;

// Lines are formatted straight into the text, which grows ahead of them.
class TextCursor {
public:
    explicit TextCursor(std::string* text) : text_(text), used_(text->size()) {}
    ~TextCursor() { text_->resize(used_); }

    // Makes room for `bytes` more characters and returns where they go.
    char* room(size_t bytes)
    {
        if (text_->size() - used_ < bytes) text_->resize(std::max(2 * text_->size(), used_ + bytes));
        return text_->data() + used_;
    }
    void advance(char* end) { used_ = static_cast<size_t>(end - text_->data()); }

private:
    std::string* text_;
    size_t used_;
};

// One line; `out` has room for PIXEL_LINE_ROOM characters.
char* put_pixel_line(int64_t x, int64_t y, char* out)
{
    out = std::to_chars(out, out + 20, x).ptr;
    std::memcpy(out, ".00 ", 4);
    out = std::to_chars(out + 4, out + 24, y).ptr;
    std::memcpy(out, ".00\n", 4);
    return out + 4;
}

}  // namespace

// A pixel line is two numbers of an image's size: the text of each number
// that can occur, with its length in the last byte, is copied whole.
PixelTexts::PixelTexts(int64_t size) : texts(static_cast<size_t>(std::clamp<int64_t>(size, 0, LIMIT)))
{
    for (size_t v = 0; v < texts.size(); ++v) {
        Text& text = texts[v];
        char* end = std::to_chars(text.data(), text.data() + 8, v).ptr;
        std::memcpy(end, ".00", 3);
        text[15] = static_cast<char>(end + 3 - text.data());
    }
}

namespace {

// One line, as put_pixel_line writes it.
char* put_pixel_line(const PixelTexts& table, int64_t x, int64_t y, char* out)
{
    const auto size = static_cast<uint64_t>(table.texts.size());
    if (static_cast<uint64_t>(x) >= size || static_cast<uint64_t>(y) >= size) return put_pixel_line(x, y, out);
    const PixelTexts::Text& x_text = table.texts[static_cast<size_t>(x)];
    const PixelTexts::Text& y_text = table.texts[static_cast<size_t>(y)];
    std::memcpy(out, x_text.data(), 16);
    out += x_text[15];
    *out++ = ' ';
    std::memcpy(out, y_text.data(), 16);
    out += y_text[15];
    *out++ = '\n';
    return out;
}

// format_one_decimal, the whole part's digits copied from `numbers` where it has them.
char* put_one_decimal(const PixelTexts& numbers, double v, char* out)
{
    uint64_t tenths;
    if (!tenths_of(v, &tenths) || tenths / 10 >= numbers.texts.size()) return format_one_decimal(v, out, out + 380);
    const PixelTexts::Text& whole = numbers.texts[tenths / 10];
    std::memcpy(out, whole.data(), 16);
    out += whole[15] - 3;  // without ".00"
    *out++ = '.';
    *out++ = static_cast<char>('0' + tenths % 10);
    return out;
}

// One line; `out` has room for SUB_PIXEL_LINE_ROOM characters.
char* put_sub_pixel_line(const PixelTexts& numbers, double x, double y, char* out)
{
    out = put_one_decimal(numbers, x, out);
    *out++ = ' ';
    out = put_one_decimal(numbers, y, out);
    *out++ = '\n';
    return out;
}

// A line of a sub-pixel list: the number of the candidate whose position it
// holds, or one of these.
constexpr uint64_t NO_CANDIDATE_LINE = uint64_t{1} << 32;  // a junction where no candidate stood: 0.0 0.0
constexpr uint64_t EDGE_END_LINE = uint64_t{2} << 32;      // -1 -1

// The sub-pixel lists' lines are found in two passes over a batch of lines:
// first the candidates' numbers, from the words, then their positions. The
// lookups of either pass do not wait for one another, so many are under way
// at once however the edges jump across the image.
void format_sub_pixel_edges(const Detector* detector, size_t first, size_t last, const PixelTexts& numbers,
                            TextCursor* cursor)
{
    constexpr size_t batch = 4096;
    constexpr size_t ahead = 16;
    const auto& edges = detector->edges;
    const EdgelTable& table = detector->edgels;
    std::vector<uint64_t> lines;
    lines.reserve(batch + 3);
    const auto put_lines = [&] {
        for (size_t k = 0; k < lines.size(); ++k) {
            if (k + ahead < lines.size() && lines[k + ahead] < NO_CANDIDATE_LINE)
                __builtin_prefetch(&table.sub_pixels[lines[k + ahead]]);
            char* out = cursor->room(SUB_PIXEL_LINE_ROOM);
            if (lines[k] == EDGE_END_LINE) {
                std::memcpy(out, "-1 -1\n", 6);
                out += 6;
            } else if (lines[k] == NO_CANDIDATE_LINE) {
                out = put_sub_pixel_line(numbers, 0.0, 0.0, out);
            } else {
                const SubPixel& position = table.sub_pixels[lines[k]];
                out = put_sub_pixel_line(numbers, position.x, position.y, out);
            }
            cursor->advance(out);
        }
        lines.clear();
    };
    const auto junction_line = [&](const Links& part, uint32_t index) {
        const Junction& junction = part.junctions[index];
        return junction.has_edgel ? uint64_t{edgel_index(&table, junction.x, junction.y)} : NO_CANDIDATE_LINE;
    };
    for (size_t place = first; place < last; ++place) {
        const EdgeRef ref = edges[edges.size() - 1 - place];
        const Edge& edge = edge_of(detector, ref);
        const Links& part = detector->links[ref.part];
        const ChainPoint* points = &part.edge_points[edge.first_point];
        if (edge.start_junction != NO_JUNCTION) lines.push_back(junction_line(part, edge.start_junction));
        for (uint32_t k = 0; k < edge.point_count; ++k) {
            lines.push_back(edgel_index(&table, points[k].x, points[k].y));
            if (lines.size() >= batch) put_lines();
        }
        if (edge.end_junction != NO_JUNCTION) lines.push_back(junction_line(part, edge.end_junction));
        lines.push_back(EDGE_END_LINE);
        if (lines.size() >= batch) put_lines();
    }
    put_lines();
}

}  // namespace

void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, std::string* text)
{
    format_edges(detector, sub_pixel, first, last, PixelTexts(std::max(detector->XSIZE, detector->YSIZE)), text);
}

void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, const PixelTexts& numbers,
                  std::string* text)
{
    TextCursor cursor(text);
    if (sub_pixel) {
        format_sub_pixel_edges(detector, first, last, numbers, &cursor);
        return;
    }
    // The edges are written in the order they were traced, which jumps across
    // the image: the points of the edges a few places ahead are fetched early.
    constexpr size_t points_ahead = 24;
    constexpr size_t edges_ahead = 64;  // whose records are fetched first
    const auto& edges = detector->edges;
    const size_t count = edges.size();
    for (size_t place = first; place < last; ++place) {
        if (place + edges_ahead < last) __builtin_prefetch(&edge_of(detector, edges[count - 1 - place - edges_ahead]));
        if (place + points_ahead < last) {
            const EdgeRef ahead = edges[count - 1 - place - points_ahead];
            __builtin_prefetch(&detector->links[ahead.part].edge_points[edge_of(detector, ahead).first_point]);
        }
        const EdgeRef ref = edges[count - 1 - place];
        const Edge& edge = edge_of(detector, ref);
        const Links& part = detector->links[ref.part];
        // The junctions' positions stand in line with the chain.
        const ChainPoint* points = &part.edge_points[edge.first_point];
        const ChainPoint* point = points - (edge.start_junction != NO_JUNCTION ? 1 : 0);
        const ChainPoint* end = points + edge.point_count + (edge.end_junction != NO_JUNCTION ? 1 : 0);
        constexpr ptrdiff_t lines_at_once = 1024;
        while (point != end) {
            const ChainPoint* stop = point + std::min(lines_at_once, end - point);
            char* out = cursor.room(lines_at_once * PIXEL_LINE_ROOM);
            for (; point != stop; ++point) out = put_pixel_line(numbers, point->x, point->y, out);
            cursor.advance(out);
        }
        char* out = cursor.room(6);
        std::memcpy(out, "-1 -1\n", 6);
        cursor.advance(out + 6);
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
          numbers_(std::max(detector->XSIZE, detector->YSIZE)),
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

    // Hands every piece in order to `sink`. While the next piece is not
    // ready, the writer formats one itself. Should the sink fail, the
    // formatters are let go before the failure goes on up.
    void write(const TextSink& sink)
    {
        try {
            write_pieces(sink);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                next_to_format_ = pieces_;
            }
            changed_.notify_all();
            throw;
        }
    }

private:
    void write_pieces(const TextSink& sink)
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
            sink(std::string_view(text.data(), text.size()));
            // The piece's room is used again for a later piece.
            text.clear();
            std::lock_guard<std::mutex> lock(mutex_);
            spares_.push_back(std::move(text));
        }
    }

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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spares_.empty()) {
                text.swap(spares_.back());
                spares_.pop_back();
            }
        }
        text.reserve(CHUNK_BYTES);
        const size_t first = piece * edges_per_piece_;
        const size_t last = std::min(first + edges_per_piece_, detector_->edges.size());
        format_edges(detector_, sub_pixel_, first, last, numbers_, &text);
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
    PixelTexts numbers_;
    std::vector<std::string> texts_;
    std::vector<bool> ready_;
    std::vector<std::string> spares_;  // written pieces, emptied, whose room is kept
    size_t next_to_format_ = 0;
    size_t next_to_write_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

void write_list(const Detector* detector, bool sub_pixel, const TextSink& sink, int threads, size_t edges_per_piece)
{
    const uint64_t workers = static_cast<uint64_t>(std::max(1, threads));
    WritingPipeline pipeline(detector, sub_pixel, std::max<size_t>(edges_per_piece, 1), 2 * workers);
    // One task writes, the others format ahead of it.
    share_out(workers, workers, [&pipeline, &sink](uint64_t task) {
        if (task == 0)
            pipeline.write(sink);
        else
            pipeline.format();
    });
}
