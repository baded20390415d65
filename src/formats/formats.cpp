// The formats table: a format is one file of its own, which defines its
// write function (writer.h gives it the pieces of edges, ready to write), and
// one row here, with its declaration. The build takes every file of this
// folder, so nothing else names it; the help texts list the table's names
// and endings.
#include <cmath>
#include <stdexcept>
#include <string>

#include "writer.h"

namespace lintrace::writers {

void write_list(const Edges& edges, const WriteOptions& options, const TextSink& sink);     // list.cpp
void write_svg(const Edges& edges, const WriteOptions& options, const TextSink& sink);      // svg.cpp
void write_geojson(const Edges& edges, const WriteOptions& options, const TextSink& sink);  // geojson.cpp
void write_csv(const Edges& edges, const WriteOptions& options, const TextSink& sink);      // csv.cpp
void write_dxf(const Edges& edges, const WriteOptions& options, const TextSink& sink);      // dxf.cpp

}  // namespace lintrace::writers

namespace lintrace {

namespace {

constexpr std::string_view NO_ENDINGS[] = {""};
constexpr std::string_view SVG_ENDINGS[] = {".svg"};
constexpr std::string_view GEOJSON_ENDINGS[] = {".geojson"};
constexpr std::string_view CSV_ENDINGS[] = {".csv"};
constexpr std::string_view DXF_ENDINGS[] = {".dxf"};

const Format FORMATS[] = {
    {"list", std::span<const std::string_view>(NO_ENDINGS, 0), writers::write_list, false, false,
     "connectivity list"},
    {"svg", SVG_ENDINGS, writers::write_svg, false, true, "a polyline per edge"},
    {"geojson", GEOJSON_ENDINGS, writers::write_geojson, true, true, "a feature per edge"},
    {"csv", CSV_ENDINGS, writers::write_csv, true, true, "a row per point"},
    {"dxf", DXF_ENDINGS, writers::write_dxf, false, true, "a polyline per edge, for CAD"},
};

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (lower(a[k]) != lower(b[k])) return false;
    return true;
}

std::string number_text(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

std::span<const Format> formats()
{
    return FORMATS;
}

const Format* find_format(std::string_view name)
{
    for (const Format& format : FORMATS)
        if (same_name(format.name, name)) return &format;
    return nullptr;
}

const Format* format_for_path(std::string_view path)
{
    for (const Format& format : FORMATS)
        for (std::string_view ending : format.endings)
            if (path.size() > ending.size() && path.substr(path.size() - ending.size()) == ending) return &format;
    return nullptr;
}

void check_options(const WriteOptions& options)
{
    if (options.precision < -1 || options.precision > 17)
        throw std::invalid_argument("the precision must be 0 to 17 digits after the decimal point, not " +
                                    std::to_string(options.precision));
    if (!(options.simplify >= 0) || !std::isfinite(options.simplify))
        throw std::invalid_argument("the tolerance of simplification must be a finite number not below 0, not " +
                                    number_text(options.simplify));
    if (options.min_points < 0)
        throw std::invalid_argument("the least number of points must not be negative, not " +
                                    std::to_string(options.min_points));
    if (options.georeference)
        for (double t : options.georeference->transform)
            if (!std::isfinite(t)) throw std::invalid_argument("the transform has a number that is not finite");
}

void write(const Edges& edges, const Format& format, const WriteOptions& options, const TextSink& sink)
{
    check_options(options);
    if (!format.vector && (options.precision >= 0 || options.simplify > 0 || options.min_points > 0 ||
                           options.polygons))
        throw std::invalid_argument("precision, simplification, the least number of points and polygons apply to "
                                    "the vector formats, not to the " + std::string(format.description));
    format.write(edges, options, sink);
}

}  // namespace lintrace
