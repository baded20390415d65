// The output formats of lintrace's edges: one table of names and endings, one
// call to write any of them.
//
//     const lintrace::Format* format = lintrace::format_for_path("edges.geojson");
//     lintrace::WriteOptions options;
//     options.settings = settings;          // recorded in the GeoJSON collection
//     options.simplify = 0.5;               // at most half a pixel from every point
//     lintrace::write(edges, *format, options, [&](std::string_view text) { file.write(text); });
//
// Every format is written in the order of the connectivity list (edge k of a
// vector file is block k of the list) and handed to the sink in pieces, never
// held whole: a writer formats pieces of edges straight from the detector's
// records, on the run's threads.
//
//   list     the connectivity list, byte for byte (Edges::write_list); none of
//            the options below applies to it
//   svg      one polyline per edge, closed edges drawn closed, in pixels
//   geojson  a FeatureCollection of one LineString (or Point, or with
//            `polygons` a Polygon) per edge with its facts; closed edges are
//            closed rings (their first point repeated)
//   csv      edge,point,x,y,magnitude,direction: a row per point; with a
//            transform edge,point,x,y,col,row,magnitude,direction, x and y in
//            map units, col and row the pixel position
//   dxf      ASCII DXF (R2000): one LWPOLYLINE per edge (a POINT for an edge
//            of one point), closed ones flagged closed (70 = 1); $INSUNITS 0,
//            unitless; in pixels y grows upwards as CAD's does: y' = height
//            - 1 - y, so the bottom row's pixel centres lie on y' = 0
//
// Positions are pixel units, pixel centres at whole numbers, y growing
// downwards (DXF: upwards), or map units where a transform is given. Each is
// written as a whole number where it is one and otherwise as the shortest
// decimal text that reads back as the same double, or, with `precision`, with
// at most that many digits after the decimal point.
//
// Failures are thrown: std::invalid_argument for options out of range (what()
// names the value), and whatever the sink throws.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lintrace/lintrace.h"

namespace lintrace {

// A pixel-to-map transform in GDAL's geotransform order, for GDAL's pixel
// corner convention: the corner (col, row) of the pixel grid lies at
//   X = t[0] + col t[1] + row t[2],  Y = t[3] + col t[4] + row t[5].
// A lintrace point (x, y), whose pixel centres are whole numbers, stands at
// GDAL's pixel/line (x + 0.5, y + 0.5).
struct Georeference {
    std::array<double, 6> transform{0, 1, 0, 0, 0, 1};
    std::string crs;  // the coordinate system's name, such as "EPSG:32633"; may be empty
    int epsg = 0;     // its EPSG code, 0 where it has none (then `crs` is written as it is)
};

// The map position of a lintrace point (pixel centres at whole numbers).
Point to_map(const Georeference& georeference, Point pixel);

// What a writer needs besides the edges.
struct WriteOptions {
    Settings settings;              // the run's, recorded in the GeoJSON collection; sigma for the gradient
    int precision = -1;             // digits after the decimal point, 0 .. 17; -1: every digit
    double simplify = 0;            // tolerance of simplify(), in the output's units; 0: none
    int64_t min_points = 0;         // edges of fewer points are left out (their indices are skipped)
    bool polygons = false;          // GeoJSON: closed edges as Polygon features where their ring is simple
    std::optional<Georeference> georeference;  // GeoJSON, CSV, DXF in map units (SVG stays in pixels)
    // Where the edges keep no gradient (Settings::gradient), the image they
    // were traced from: the formats that write the gradient compute it at the
    // points from the image's samples, as the detector did (the same bits),
    // a piece at a time. Without either, their gradient fields are empty.
    const ImageView* image = nullptr;
};

using TextSink = std::function<void(std::string_view)>;

// A row of the formats table.
struct Format {
    std::string_view name;                     // as --format takes it
    std::span<const std::string_view> endings;  // of file names that choose it, ".svg"
    void (*write)(const Edges& edges, const WriteOptions& options, const TextSink& sink);
    bool writes_gradient;  // the format writes the gradient at the points
    bool vector;           // simplify, precision, min_points and georeference apply
    std::string_view description;  // a few words for help texts
};

// Every format, the connectivity list first.
std::span<const Format> formats();
// The format of a name, in any case ("SVG" is "svg"); null where none is.
const Format* find_format(std::string_view name);
// The format a file name's ending chooses (as the ending is written: "x.SVG"
// chooses none, as it never did); null where none does.
const Format* format_for_path(std::string_view path);

// Writes the edges in the format, after checking the options: precision 0..17
// or -1, simplify finite and not negative, min_points not negative.
void write(const Edges& edges, const Format& format, const WriteOptions& options, const TextSink& sink);
// Throws std::invalid_argument naming the value of the first option out of range.
void check_options(const WriteOptions& options);

// Each edge simplified within `tolerance` (Douglas-Peucker on the polyline,
// a closed edge as the ring it is): no point of an edge lies farther than
// `tolerance` from its simplified polyline (its ring for a closed edge); the
// first and last point of every edge are kept, so the edges that meet at a
// junction still meet there, and a closed edge of three points or more keeps
// at least three. Tolerance 0 keeps every point; a negative or not finite
// tolerance throws std::invalid_argument. The result is edges as arrays (its
// closed() flags the detector's where the edges had them; no gradient).
Edges simplify(const Edges& edges, double tolerance);

}  // namespace lintrace
