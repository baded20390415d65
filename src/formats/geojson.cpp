// GeoJSON: a FeatureCollection of one feature per edge, with its facts as
// properties: index (its place in the list, kept when shorter edges are left
// out), points (its points in the list), length (along them, round a closed
// edge), the linking's flags and the mean gradient magnitude at its points.
// An edge of one point is a Point, any other a LineString, a closed one a
// closed ring (its first point repeated); with `polygons` a closed edge whose
// ring is simple, as written, is a Polygon. With a georeference the
// coordinates are map units and the collection names the coordinate system
// as GDAL does ("crs").
#include <string>

#include "writer.h"

namespace lintrace::writers {

namespace {

// The collection's "crs" member, as GDAL writes it: a named EPSG system as
// its URN, WGS 84 in longitude, latitude order as OGC's CRS84.
std::string crs_member(const Georeference& georeference)
{
    std::string name;
    if (georeference.epsg == 4326)
        name = "urn:ogc:def:crs:OGC:1.3:CRS84";
    else if (georeference.epsg > 0)
        name = "urn:ogc:def:crs:EPSG::" + std::to_string(georeference.epsg);
    else if (!georeference.crs.empty())
        name = georeference.crs;
    else
        return "";
    std::string quoted;
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) quoted += c;
    }
    return "\"crs\":{\"type\":\"name\",\"properties\":{\"name\":\"" + quoted + "\"}},\n";
}

}  // namespace

void write_geojson(const Edges& edges, const WriteOptions& options, const TextSink& sink)
{
    const Pieces pieces(edges, options, true, true);
    const Settings& settings = options.settings;
    const Numbers numbers{options.precision};
    const Numbers exact;
    const bool map = options.georeference.has_value();
    const auto boolean = [](bool v) { return v ? "true" : "false"; };
    std::string text;
    Text out(&text);
    char room[NUMBER_ROOM];
    out << "{\"type\":\"FeatureCollection\",\n";
    if (map) out << crs_member(*options.georeference);
    out << "\"lintrace\":{\"version\":\"" << VERSION << "\",\"width\":" << std::to_string(edges.width())
        << ",\"height\":" << std::to_string(edges.height());
    if (map) {
        out << ",\"units\":\"map units of the coordinate system; pixel (x, y), pixel centres at whole numbers, lies at "
               "transform[0] + (x + 0.5) transform[1] + (y + 0.5) transform[2], transform[3] + (x + 0.5) transform[4] "
               "+ (y + 0.5) transform[5]\",\"transform\":[";
        for (int k = 0; k < 6; ++k) out << (k ? "," : "") << exact.json(options.georeference->transform[k], room);
        out << "]";
    } else {
        out << ",\"units\":\"pixels; x the column, y the row growing downwards; pixel centres at whole numbers\"";
    }
    out << ",\"sigma\":" << exact.json(settings.sigma, room);
    out << ",\"low_threshold\":" << exact.json(settings.low_threshold, room);
    out << ",\"high_threshold\":" << exact.json(settings.high_threshold, room);
    out << ",\"sub_pixel\":" << boolean(edges.sub_pixel()) << "},\n\"features\":[";
    sink(text);
    // The first feature written has no comma before it.
    const size_t first_written = [&] {
        if (options.min_points <= 1) return size_t{0};
        size_t found = pieces.size();
        for (size_t k = 0; k < pieces.size() && found == pieces.size(); k += 4096)
            pieces.each(k, std::min(k + 4096, pieces.size()), [&](const ReadyEdge& edge) {
                if (found == pieces.size()) found = edge.index;
            });
        return found;
    }();
    pieces.write(
        [&](size_t first, size_t last, std::string* piece_text) {
            Text out(piece_text);
            char room[NUMBER_ROOM];
            char y_room[NUMBER_ROOM];
            std::vector<Point> ring;
            pieces.each(first, last, [&](const ReadyEdge& edge) {
                const std::vector<Point>& at = edge.positions;
                const bool single = edge.count == 1;
                // A closed edge goes back to its first point (unless its last
                // point is its first already).
                const bool repeat = edge.closed && at.size() > 1 &&
                                    (at.back().x != at.front().x || at.back().y != at.front().y);
                bool polygon = false;
                if (options.polygons && edge.closed && at.size() >= 3) {
                    ring.clear();
                    for (const Point& p : at) ring.push_back(Point{numbers.written(p.x), numbers.written(p.y)});
                    polygon = simple_ring(ring);
                }
                out << (edge.index == first_written ? "\n" : ",\n") << "{\"type\":\"Feature\",\"geometry\":{\"type\":";
                if (single)
                    out << "\"Point\",\"coordinates\":";
                else if (polygon)
                    out << "\"Polygon\",\"coordinates\":[[";
                else
                    out << "\"LineString\",\"coordinates\":[";
                const auto put = [&](const Point& point) {
                    out << "[" << numbers.position(point.x, room) << "," << numbers.position(point.y, y_room) << "]";
                };
                for (size_t p = 0; p < at.size(); ++p) {
                    if (p > 0) out << ",";
                    put(at[p]);
                }
                if (repeat) {
                    out << ",";
                    put(at.front());
                }
                out << (single ? "}" : polygon ? "]]}" : "]}") << ",\"properties\":{\"index\":"
                    << std::to_string(edge.index) << ",\"points\":" << std::to_string(edge.count)
                    << ",\"length\":" << numbers.json(edge.length, room);
                if (edge.flags_known) {
                    out << ",\"closed\":" << boolean(edge.closed)
                        << ",\"starts_at_junction\":" << boolean(edge.starts_at_junction)
                        << ",\"ends_at_junction\":" << boolean(edge.ends_at_junction);
                } else {
                    out << ",\"closed\":null,\"starts_at_junction\":null,\"ends_at_junction\":null";
                }
                out << ",\"mean_magnitude\":";
                double sum = 0;
                for (double m : edge.magnitudes) sum += m;
                out << (edge.magnitudes.empty() ? std::string_view("null")
                                                : numbers.json(sum / static_cast<double>(edge.count), room));
                out << "}}";
            });
        },
        sink);
    sink("\n]}\n");
}

}  // namespace lintrace::writers
