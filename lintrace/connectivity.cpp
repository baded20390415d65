// The connectivity list file.
//
// Writes every edge that linking traced as one block of point lines closed by
// the line "-1 -1", the newest edge first. A block holds the start junction,
// the chain from head to tail, then the end junction. In pixel mode a point
// line is the pixel position with two decimals, "%.2f %.2f"; in sub-pixel
// mode it is the sub-pixel position with one decimal, "%.1f %.1f". Numbers
// are formatted with std::to_chars, which gives the digits C's printf gives
// for the same precision, without its locale and at a fraction of its cost.
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void put_point(const Detector* detector, bool sub_pixel, uint32_t record, std::string* text)
{
    const EdgelTable& table = detector->edgels;
    if (sub_pixel)
        put_sub_pixel_line(table.sub_x[record], table.sub_y[record], text);
    else
        put_pixel_line(table.records[record].x, table.records[record].y, text);
}

void put_junction(const Detector* detector, bool sub_pixel, uint32_t index, std::string* text)
{
    const Junction& junction = detector->links.junctions[index];
    if (!sub_pixel)
        put_pixel_line(junction.x, junction.y, text);
    else if (junction.edgel != NO_EDGEL)
        put_point(detector, true, junction.edgel, text);
    else
        put_sub_pixel_line(0.0, 0.0, text);
}

}  // namespace

void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, std::string* text)
{
    const Links& links = detector->links;
    const size_t count = links.edges.size();
    for (size_t place = first; place < last; ++place) {
        const Edge& edge = links.edges[count - 1 - place];
        if (edge.start_junction != NO_JUNCTION) put_junction(detector, sub_pixel, edge.start_junction, text);
        for (uint64_t k = 0; k < edge.point_count; ++k)
            put_point(detector, sub_pixel, links.edge_points[edge.first_point + k], text);
        if (edge.end_junction != NO_JUNCTION) put_junction(detector, sub_pixel, edge.end_junction, text);
        text->append("-1 -1\n");
    }
}

void write_file(const Detector* detector, const char* path, bool sub_pixel)
{
    OutputFile out;
    if (!out.open(path)) {
        std::fprintf(stderr, "ERROR, can't open file \"%s\" for \"w\"\n", path);
        std::exit(-1);
    }
    std::string text;
    text.reserve(CHUNK_BYTES + 4096);
    const size_t count = detector->links.edges.size();
    for (size_t place = 0; place < count; ++place) {
        format_edges(detector, sub_pixel, place, place + 1, &text);
        if (text.size() >= CHUNK_BYTES) {
            out.write(text.data(), text.size());
            text.clear();
        }
    }
    out.write(text.data(), text.size());
    if (!out.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", path, std::strerror(errno));
        std::exit(-1);
    }
}
