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
#include "run.h"

namespace lintrace {

namespace {

using Sink = std::function<void(std::string_view)>;

// Text gathered and handed on in pieces of about a megabyte.
class Output {
public:
    explicit Output(const Sink& sink) : sink_(sink) {}
    ~Output() = default;
    Output& operator<<(std::string_view text)
    {
        text_.append(text);
        if (text_.size() >= (size_t{1} << 20)) flush();
        return *this;
    }
    void flush()
    {
        if (!text_.empty()) sink_(text_);
        text_.clear();
    }

private:
    const Sink& sink_;
    std::string text_;
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

bool flag(const std::vector<uint8_t>& flags, size_t k)
{
    return k < flags.size() && flags[k] != 0;
}

}  // namespace

void Edges::write_svg(const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<uint8_t>& closed_edges = closed();
    Output out(sink);
    char x_room[NUMBER_ROOM];
    char y_room[NUMBER_ROOM];
    const std::string width_text = std::to_string(width());
    const std::string height_text = std::to_string(height());
    // The view box puts the image's pixels, centred at whole numbers, exactly
    // on the canvas, so the drawing lies over the image at any scale.
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << width_text << "\" height=\""
        << height_text << "\" viewBox=\"-0.5 -0.5 " << width_text << " " << height_text << "\">\n"
        << "<g stroke=\"black\" stroke-width=\"1\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
    if (run_) {
        const std::vector<Point>& positions = run_->points;
        for (size_t k = 0; k + 1 < at.size(); ++k) {
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
    }
    out << "</g>\n</svg>\n";
    out.flush();
}

void Edges::write_geojson(const Settings& settings, const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<double>& magnitude = magnitudes();
    const bool traced = run_ && run_->traced;
    Output out(sink);
    char room[NUMBER_ROOM];
    char y_room[NUMBER_ROOM];
    const auto boolean = [](bool v) { return v ? "true" : "false"; };
    out << "{\"type\":\"FeatureCollection\",\n\"lintrace\":{\"version\":\"" << VERSION
        << "\",\"width\":" << std::to_string(width()) << ",\"height\":" << std::to_string(height())
        << ",\"units\":\"pixels; x the column, y the row growing downwards; pixel centres at whole numbers\""
        << ",\"sigma\":" << number_text(settings.sigma, room);
    out << ",\"low_threshold\":" << number_text(settings.low_threshold, room);
    out << ",\"high_threshold\":" << number_text(settings.high_threshold, room);
    out << ",\"sub_pixel\":" << boolean(sub_pixel()) << "},\n\"features\":[";
    if (run_) {
        const std::vector<Point>& positions = run_->points;
        for (size_t k = 0; k + 1 < at.size(); ++k) {
            const int64_t count = at[k + 1] - at[k];
            out << (k == 0 ? "\n" : ",\n") << "{\"type\":\"Feature\",\"geometry\":{\"type\":"
                << (count == 1 ? "\"Point\",\"coordinates\":" : "\"LineString\",\"coordinates\":[");
            double length = 0;
            Point last{0, 0};
            Point first{0, 0};
            for (int64_t p = at[k]; p < at[k + 1]; ++p) {
                const Point point = positions[p];
                if (p > at[k]) {
                    out << ",";
                    length += std::hypot(point.x - last.x, point.y - last.y);
                } else {
                    first = point;
                }
                out << "[" << position_text(point.x, room) << "," << position_text(point.y, y_room) << "]";
                last = point;
            }
            if (flag(closed(), k) && count > 1) length += std::hypot(first.x - last.x, first.y - last.y);
            out << (count == 1 ? "}" : "]}") << ",\"properties\":{\"index\":" << std::to_string(k)
                << ",\"points\":" << std::to_string(count) << ",\"length\":" << number_text(length, room);
            if (traced) {
                out << ",\"closed\":" << boolean(flag(closed(), k))
                    << ",\"starts_at_junction\":" << boolean(flag(starts_at_junction(), k))
                    << ",\"ends_at_junction\":" << boolean(flag(ends_at_junction(), k));
            } else {
                out << ",\"closed\":null,\"starts_at_junction\":null,\"ends_at_junction\":null";
            }
            out << ",\"mean_magnitude\":";
            double sum = 0;
            for (int64_t p = at[k]; p < at[k + 1] && !magnitude.empty(); ++p) sum += magnitude[p];
            const double mean = sum / static_cast<double>(count);
            if (magnitude.empty() || count == 0 || !std::isfinite(mean))
                out << "null";
            else
                out << number_text(mean, room);
            out << "}}";
        }
    }
    out << "\n]}\n";
    out.flush();
}

void Edges::write_csv(const Sink& sink) const
{
    const std::vector<int64_t>& at = offsets();
    const std::vector<double>& magnitude = magnitudes();
    const std::vector<double>& direction = directions();
    Output out(sink);
    char room[NUMBER_ROOM];
    out << "edge,point,x,y,magnitude,direction\n";
    if (run_) {
        const std::vector<Point>& positions = run_->points;
        for (size_t k = 0; k + 1 < at.size(); ++k) {
            const std::string edge = std::to_string(k) + ",";
            for (int64_t p = at[k]; p < at[k + 1]; ++p) {
                const Point point = positions[p];
                out << edge << std::to_string(p - at[k]) << "," << position_text(point.x, room) << ",";
                out << position_text(point.y, room) << ",";
                // Where the run kept no gradient, its fields are empty.
                if (!magnitude.empty()) out << number_text(magnitude[p], room);
                out << ",";
                if (!direction.empty()) out << number_text(direction[p], room);
                out << "\n";
            }
        }
    }
    out.flush();
}

}  // namespace lintrace
