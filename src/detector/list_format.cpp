// The connectivity list's text: the rule.
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
// The literal twin in the tests (literal::write_list, printf) must agree with
// every byte; connectivity.cpp hands pieces of the list to threads.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "connectivity.h"
#include "edgel.h"

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
        const ChainPoint* points = chain_of(part.edge_points, edge);
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
    format_edges(detector, sub_pixel, first, last, PixelTexts(std::max<int64_t>(detector->XSIZE, detector->first_row + detector->YSIZE)), text);
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
            const Edge& edge = edge_of(detector, ahead);
            const Links& part = detector->links[ahead.part];
            __builtin_prefetch(chain_of(part.edge_points, edge));
            if (edge.start_junction != NO_JUNCTION) __builtin_prefetch(&part.junctions[edge.start_junction]);
            if (edge.end_junction != NO_JUNCTION) __builtin_prefetch(&part.junctions[edge.end_junction]);
        }
        const EdgeRef ref = edges[count - 1 - place];
        const Edge& edge = edge_of(detector, ref);
        const Links& part = detector->links[ref.part];
        // The junctions' positions stand before and after the chain.
        const ChainPoint* point = chain_of(part.edge_points, edge);
        const ChainPoint* end = point + edge.point_count;
        constexpr ptrdiff_t lines_at_once = 1024;
        if (edge.start_junction != NO_JUNCTION) {
            const Junction& junction = part.junctions[edge.start_junction];
            cursor.advance(put_pixel_line(numbers, junction.x, junction.y, cursor.room(PIXEL_LINE_ROOM)));
        }
        while (point != end) {
            const ChainPoint* stop = point + std::min(lines_at_once, end - point);
            char* out = cursor.room(lines_at_once * PIXEL_LINE_ROOM);
            for (; point != stop; ++point) out = put_pixel_line(numbers, point->x, point->y, out);
            cursor.advance(out);
        }
        if (edge.end_junction != NO_JUNCTION) {
            const Junction& junction = part.junctions[edge.end_junction];
            cursor.advance(put_pixel_line(numbers, junction.x, junction.y, cursor.room(PIXEL_LINE_ROOM)));
        }
        char* out = cursor.room(6);
        std::memcpy(out, "-1 -1\n", 6);
        cursor.advance(out + 6);
    }
}

