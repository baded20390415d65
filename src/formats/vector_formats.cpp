// The edges as vector data: SVG, GeoJSON and CSV.
//
// Reads the arrays of an Edges object (its points, the linking's flags and,
// where the run kept them, the gradient at each point) and writes one of the
// three texts, in the order of the connectivity list: edge k of a vector file
// is block k of the list. Positions are pixel units, pixel centres at whole
// numbers, y growing downwards, as in the list; they are written as whole
// numbers, or, where a position is not whole (sub-pixel runs), as the
// shortest decimal text that reads back as the same double, so no digit of
// the detector's result is lost or invented.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "lintrace/lintrace.h"
#include "parallel.h"
#include "run.h"

namespace lintrace {

namespace {

using Sink = std::function<void(std::string_view)>;

// Text appended to a string.
class Text {
public:
    explicit Text(std::string* text) : text_(text) {}
    Text& operator<<(std::string_view more)
    {
        text_->append(more);
        return *this;
    }

private:
    std::string* text_;
};

// Room for any double in any of the forms below.
constexpr size_t NUMBER_ROOM = 400;

// A position: a whole number as an integer, anything else as the shortest
// fixed-point text that reads back as the same double (never an exponent,
// which some readers of coordinates refuse).
std::string_view position_text(double v, char* room)
{
    char* end;
    if (v == std::floor(v) && std::fabs(v) < 0x1p53)
        end = std::to_chars(room, room + NUMBER_ROOM, static_cast<int64_t>(v)).ptr;
    else
        end = std::to_chars(room, room + NUMBER_ROOM, v, std::chars_format::fixed).ptr;
    return std::string_view(room, static_cast<size_t>(end - room));
}

// Any other number: the shortest text that reads back as the same double.
std::string_view number_text(double v, char* room)
{
    const char* end = std::to_chars(room, room + NUMBER_ROOM, v).ptr;
    return std::string_view(room, static_cast<size_t>(end - room));
}

// A number of JSON, which has no infinities and no NaN: those are null.
std::string_view json_number(double v, char* room)
{
    return std::isfinite(v) ? number_text(v, room) : std::string_view("null");
}

bool flag(const std::vector<uint8_t>& flags, size_t k)
{
    return k < flags.size() && flags[k] != 0;
}

}  // namespace

void Edges::write_svg(const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<uint8_t>& closed_edges = closed();
    std::string text;
    Text out(&text);
    const std::string width_text = std::to_string(width());
    const std::string height_text = std::to_string(height());
    // The view box puts the image's pixels, centred at whole numbers, exactly
    // on the canvas, so the drawing lies over the image at any scale.
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << width_text << "\" height=\""
        << height_text << "\" viewBox=\"-0.5 -0.5 " << width_text << " " << height_text << "\">\n"
        << "<g stroke=\"black\" stroke-width=\"1\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
    sink(text);
    if (run_) {
        const std::vector<Point>& positions = run_->points;
        const auto piece = [&](size_t first_edge, size_t last_edge, std::string* piece_text) {
            Text out(piece_text);
            char x_room[NUMBER_ROOM];
            char y_room[NUMBER_ROOM];
            for (size_t k = first_edge; k < last_edge; ++k) {
                out << "<polyline fill=\"none\" points=\"";
                const auto put = [&](int64_t p, bool first) {
                    const Point point = positions[p];
                    if (!first) out << " ";
                    out << position_text(point.x, x_room) << "," << position_text(point.y, y_room);
                };
                for (int64_t p = at[k]; p < at[k + 1]; ++p) put(p, p == at[k]);
                // A closed edge comes back to its first point; a single point is
                // a line of no length, which round caps draw as a dot.
                if (at[k + 1] > at[k] && (flag(closed_edges, k) || at[k + 1] - at[k] == 1)) put(at[k], false);
                out << "\"/>\n";
            }
        };
        write_in_pieces(size(), piece, sink, run_->threads, run_->schedule);
    }
    sink("</g>\n</svg>\n");
}

void Edges::write_geojson(const Settings& settings, const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<double>& magnitude = magnitudes();
    const std::vector<uint8_t>& closed_edges = closed();
    const std::vector<uint8_t>& starts = starts_at_junction();
    const std::vector<uint8_t>& ends = ends_at_junction();
    const bool traced = run_ && run_->traced;
    const auto boolean = [](bool v) { return v ? "true" : "false"; };
    std::string text;
    Text out(&text);
    char room[NUMBER_ROOM];
    out << "{\"type\":\"FeatureCollection\",\n\"lintrace\":{\"version\":\"" << VERSION
        << "\",\"width\":" << std::to_string(width()) << ",\"height\":" << std::to_string(height())
        << ",\"units\":\"pixels; x the column, y the row growing downwards; pixel centres at whole numbers\""
        << ",\"sigma\":" << json_number(settings.sigma, room);
    out << ",\"low_threshold\":" << json_number(settings.low_threshold, room);
    out << ",\"high_threshold\":" << json_number(settings.high_threshold, room);
    out << ",\"sub_pixel\":" << boolean(sub_pixel()) << "},\n\"features\":[";
    sink(text);
    if (run_) {
        const std::vector<Point>& positions = run_->points;
        const auto piece = [&](size_t first_edge, size_t last_edge, std::string* piece_text) {
            Text out(piece_text);
            char room[NUMBER_ROOM];
            char y_room[NUMBER_ROOM];
            for (size_t k = first_edge; k < last_edge; ++k) {
                const int64_t count = at[k + 1] - at[k];
                out << (k == 0 ? "\n" : ",\n") << "{\"type\":\"Feature\",\"geometry\":{\"type\":"
                    << (count == 1 ? "\"Point\",\"coordinates\":" : "\"LineString\",\"coordinates\":[");
                // The length along the points, in their order; a closed edge's
                // goes round, back to the first point.
                double length = 0;
                for (int64_t p = at[k]; p < at[k + 1]; ++p) {
                    const Point point = positions[p];
                    if (p > at[k]) {
                        out << ",";
                        length += std::hypot(point.x - positions[p - 1].x, point.y - positions[p - 1].y);
                    }
                    out << "[" << position_text(point.x, room) << "," << position_text(point.y, y_room) << "]";
                }
                if (flag(closed_edges, k) && count > 1) {
                    const Point first = positions[at[k]];
                    const Point last = positions[at[k + 1] - 1];
                    length += std::hypot(first.x - last.x, first.y - last.y);
                }
                out << (count == 1 ? "}" : "]}") << ",\"properties\":{\"index\":" << std::to_string(k)
                    << ",\"points\":" << std::to_string(count) << ",\"length\":" << json_number(length, room);
                if (traced) {
                    out << ",\"closed\":" << boolean(flag(closed_edges, k))
                        << ",\"starts_at_junction\":" << boolean(flag(starts, k))
                        << ",\"ends_at_junction\":" << boolean(flag(ends, k));
                } else {
                    out << ",\"closed\":null,\"starts_at_junction\":null,\"ends_at_junction\":null";
                }
                out << ",\"mean_magnitude\":";
                double sum = 0;
                for (int64_t p = at[k]; p < at[k + 1] && !magnitude.empty(); ++p) sum += magnitude[p];
                out << (magnitude.empty() ? std::string_view("null")
                                          : json_number(sum / static_cast<double>(count), room));
                out << "}}";
            }
        };
        write_in_pieces(size(), piece, sink, run_->threads, run_->schedule);
    }
    sink("\n]}\n");
}

void Edges::write_csv(const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<double>& magnitude = magnitudes();
    const std::vector<double>& direction = directions();
    sink("edge,point,x,y,magnitude,direction\n");
    if (!run_) return;
    const std::vector<Point>& positions = run_->points;
    const auto piece = [&](size_t first_edge, size_t last_edge, std::string* text) {
        // A row is put together in place, each number written where it
        // stands: two indices and four numbers, each with room for any double.
        char row[6 * NUMBER_ROOM];
        for (size_t k = first_edge; k < last_edge; ++k) {
            char* const after_edge = std::to_chars(row, row + 32, k).ptr;
            *after_edge = ',';
            for (int64_t p = at[k]; p < at[k + 1]; ++p) {
                char* end = std::to_chars(after_edge + 1, after_edge + 33, p - at[k]).ptr;
                *end++ = ',';
                end += position_text(positions[p].x, end).size();
                *end++ = ',';
                end += position_text(positions[p].y, end).size();
                *end++ = ',';
                // Where the run kept no gradient, its fields are empty.
                if (!magnitude.empty()) end += number_text(magnitude[p], end).size();
                *end++ = ',';
                if (!direction.empty()) end += number_text(direction[p], end).size();
                *end++ = '\n';
                text->append(row, end);
            }
        }
    };
    write_in_pieces(size(), piece, sink, run_->threads, run_->schedule);
}

}  // namespace lintrace
