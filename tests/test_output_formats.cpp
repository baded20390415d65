// The formats table and its writers' options: lookups by name and ending,
// the gradient computed from the image as the detector computed it, the
// bound of simplification, simple rings, the options' checks, and map
// coordinates read back by GDAL.
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "helpers.h"
#include "lintrace/formats.h"
#include "writer.h"

namespace {

std::string written(const lintrace::Edges& edges, const char* format, const lintrace::WriteOptions& options)
{
    std::string text;
    lintrace::write(edges, *lintrace::find_format(format), options, [&text](std::string_view piece) { text += piece; });
    return text;
}

double segment_distance(lintrace::Point p, lintrace::Point a, lintrace::Point b)
{
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double squared = dx * dx + dy * dy;
    const double t = squared == 0 ? 0 : std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / squared, 0.0, 1.0);
    return std::hypot(p.x - a.x - t * dx, p.y - a.y - t * dy);
}

}  // namespace

TEST(FormatsTable, NamesInAnyCaseAndEndingsAsWritten)
{
    struct Case {
        const char* name;
        const char* found;  // null: none
    };
    const Case names[] = {{"svg", "svg"},         {"SVG", "svg"}, {"GeoJSON", "geojson"}, {"Csv", "csv"},
                          {"dxf", "dxf"},         {"LIST", "list"}, {"png", nullptr},     {"svgz", nullptr},
                          {"", nullptr}};
    for (const Case& c : names) {
        const lintrace::Format* format = lintrace::find_format(c.name);
        ASSERT_EQ(format != nullptr, c.found != nullptr) << c.name;
        if (format) {
            EXPECT_EQ(format->name, c.found) << c.name;
        }
    }
    const Case paths[] = {{"a.svg", "svg"},   {"x/y.geojson", "geojson"}, {"e.csv", "csv"}, {"d.dxf", "dxf"},
                          {"a.list", nullptr}, {"a.SVG", nullptr},         {".svg", nullptr}, {"svg", nullptr}};
    for (const Case& c : paths) {
        const lintrace::Format* format = lintrace::format_for_path(c.name);
        ASSERT_EQ(format != nullptr, c.found != nullptr) << c.name;
        if (format) {
            EXPECT_EQ(format->name, c.found) << c.name;
        }
    }
    for (const lintrace::Format& format : lintrace::formats())
        EXPECT_EQ(format.writes_gradient, format.name == "geojson" || format.name == "csv") << format.name;
}

TEST(FormatsTable, OptionsOutOfRangeAreRefusedNamingTheValue)
{
    const TestImage image = crop(photograph("camera.pgm"), 60, 40, 100, 60);
    const lintrace::Edges edges = lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), 60, 40), {});
    struct Case {
        const char* format;
        lintrace::WriteOptions options;
        const char* message;
    };
    lintrace::WriteOptions precision, simplify, nan_simplify, min_points, list_simplify;
    precision.precision = 40;
    simplify.simplify = -1;
    nan_simplify.simplify = std::nan("");
    min_points.min_points = -3;
    list_simplify.simplify = 0.5;
    const Case cases[] = {
        {"geojson", precision, "the precision must be 0 to 17 digits after the decimal point, not 40"},
        {"svg", simplify, "the tolerance of simplification must be a finite number not below 0, not -1"},
        {"csv", nan_simplify, "the tolerance of simplification must be a finite number not below 0, not nan"},
        {"dxf", min_points, "the least number of points must not be negative, not -3"},
        {"list", list_simplify, "precision, simplification, the least number of points and polygons apply to the "
                                "vector formats, not to the connectivity list"},
    };
    for (const Case& c : cases) {
        try {
            written(edges, c.format, c.options);
            ADD_FAILURE() << c.message;
        } catch (const std::invalid_argument& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
    }
    EXPECT_THROW(lintrace::simplify(edges, -0.5), std::invalid_argument);
    EXPECT_THROW(lintrace::simplify(edges, INFINITY), std::invalid_argument);
}

TEST(FormatsGradient, ComputedFromTheImageItIsTheDetectorsToTheLastBit)
{
    std::mt19937 random(5);
    const TestImage base = random_image(90, 70, random);
    std::vector<uint16_t> wide(base.pixels.size());
    std::vector<uint8_t> rgb(3 * base.pixels.size());
    std::vector<double> levels(base.pixels.size());
    for (size_t k = 0; k < base.pixels.size(); ++k) {
        wide[k] = static_cast<uint16_t>(base.pixels[k] * 251 + k % 7);  // two bytes that differ
        for (int c = 0; c < 3; ++c) rgb[3 * k + c] = static_cast<uint8_t>(base.pixels[k] + 40 * c * (k % 3));
        levels[k] = base.pixels[k] * 0.75 + 0.125 * static_cast<double>(k % 5);
    }
    const lintrace::ImageView views[] = {
        lintrace::ImageView::grey8(base.pixels.data(), 90, 70),
        {wide.data(), 90, 70, 0, lintrace::SampleType::UINT16, 1, 65535, nullptr},
        {rgb.data(), 90, 70, 0, lintrace::SampleType::UINT8, 3, 255, nullptr},
        {levels.data(), 90, 70, 0, lintrace::SampleType::DOUBLE, 1, 255, nullptr},
    };
    for (const lintrace::ImageView& view : views) {
        for (double sigma : {0.4, 1.0, 2.5}) {
            for (bool sub_pixel : {false, true}) {
                lintrace::Settings settings;
                settings.sigma = sigma;
                settings.sub_pixel = sub_pixel;
                settings.gradient = true;
                const lintrace::Edges kept = lintrace::trace(view, settings);
                settings.gradient = false;
                const lintrace::Edges bare = lintrace::trace(view, settings);
                ASSERT_GT(kept.size(), 3u);
                ASSERT_TRUE(bare.magnitudes().empty());
                lintrace::WriteOptions options;
                options.settings = settings;
                const std::string from_run = written(kept, "csv", options);
                EXPECT_EQ(written(bare, "csv", options).find(",,\n") != std::string::npos, true)
                    << "no gradient without the image";
                options.image = &view;
                EXPECT_TRUE(written(bare, "csv", options) == from_run)
                    << "type " << static_cast<int>(view.type) << " channels " << view.channels << " sigma " << sigma;
                EXPECT_TRUE(written(bare, "geojson", options) == written(kept, "geojson", options));
            }
        }
    }
}

TEST(FormatsSimplify, NoPointFartherThanTheToleranceEndsKeptRingsStayRings)
{
    const TestImage photo = crop(photograph("chelsea.pgm"), 200, 150, 100, 50);
    for (bool sub_pixel : {false, true}) {
        lintrace::Settings settings;
        settings.sub_pixel = sub_pixel;
        settings.sigma = 1.0;
        const lintrace::Edges edges =
            lintrace::trace(lintrace::ImageView::grey8(photo.pixels.data(), photo.columns, photo.rows), settings);
        ASSERT_GT(edges.size(), 50u);
        const lintrace::Edges same = lintrace::simplify(edges, 0);
        EXPECT_TRUE(same.points().size() == edges.points().size() && same.offsets() == edges.offsets());
        for (double tolerance : {0.5, 1.0, 3.0}) {
            const lintrace::Edges simple = lintrace::simplify(edges, tolerance);
            ASSERT_EQ(simple.size(), edges.size());
            EXPECT_LT(simple.point_count() * 10, edges.point_count() * 7) << tolerance << ": points are dropped";
            EXPECT_EQ(simple.closed(), edges.closed());
            for (size_t k = 0; k < edges.size(); ++k) {
                const auto original = edges.edge(k);
                const auto line = simple.edge(k);
                const bool closed = edges.closed()[k] != 0;
                ASSERT_FALSE(line.empty());
                EXPECT_TRUE(line.front().x == original.front().x && line.front().y == original.front().y);
                EXPECT_TRUE(line.back().x == original.back().x && line.back().y == original.back().y);
                if (closed && original.size() >= 3) {
                    EXPECT_GE(line.size(), 3u) << k << ": a ring stays a ring";
                }
                std::vector<lintrace::Point> path(line.begin(), line.end());
                if (closed) path.push_back(line.front());
                double worst = 0;
                for (const lintrace::Point& p : original) {
                    double nearest = path.size() == 1 ? std::hypot(p.x - path[0].x, p.y - path[0].y) : INFINITY;
                    for (size_t s = 0; s + 1 < path.size(); ++s)
                        nearest = std::min(nearest, segment_distance(p, path[s], path[s + 1]));
                    worst = std::max(worst, nearest);
                }
                EXPECT_LE(worst, tolerance) << "edge " << k << " tolerance " << tolerance;
            }
        }
    }
}

TEST(FormatsRings, SimpleRingsAreTheValidPolygonsShells)
{
    using P = lintrace::Point;
    struct Case {
        const char* name;
        std::vector<P> ring;
        bool simple;
    };
    const Case cases[] = {
        {"a square", {{0, 0}, {4, 0}, {4, 4}, {0, 4}}, true},
        {"a square repeating points", {{0, 0}, {4, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 0}}, true},
        {"a triangle", {{0, 0}, {3, 0}, {0, 2}}, true},
        {"a bow tie", {{0, 0}, {2, 2}, {2, 0}, {0, 2}}, false},
        {"two pixel steps crossing", {{0, 0}, {1, 1}, {2, 1}, {2, 0}, {1, 0}, {0, 1}}, false},
        {"a corner touching a side", {{0, 0}, {4, 0}, {4, 4}, {2, 0}, {0, 4}}, false},
        {"a figure eight through one point", {{0, 0}, {2, 2}, {4, 0}, {4, 4}, {2, 2}, {0, 4}}, false},
        {"a spike", {{0, 0}, {4, 0}, {2, 0}, {2, 3}}, false},
        {"all on a line", {{0, 0}, {1, 1}, {2, 2}}, false},
        {"two points", {{0, 0}, {1, 0}}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(lintrace::writers::simple_ring(c.ring), c.simple) << c.name;
}

TEST(FormatsMap, CoordinatesInMapUnitsAsGdalReadsThem)
{
    const TestImage image = crop(photograph("coffee.pgm"), 120, 80, 150, 100);
    lintrace::Settings settings;
    settings.sub_pixel = true;
    settings.sigma = 1.0;
    const lintrace::Edges edges = lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), 120, 80), settings);
    ASSERT_GT(edges.size(), 5u);
    lintrace::WriteOptions options;
    options.settings = settings;
    // A north-up UTM grid of 2 m pixels, with a rotation term to tell the
    // terms apart.
    options.georeference = lintrace::Georeference{{500000.0, 2.0, 0.25, 6000000.0, 0.125, -2.0}, "EPSG:32633", 32633};
    const auto map = [](lintrace::Point p) {
        const double col = p.x + 0.5, row = p.y + 0.5;
        return lintrace::Point{500000.0 + col * 2.0 + row * 0.25, 6000000.0 + col * 0.125 + row * -2.0};
    };
    const lintrace::Point first = map(edges.edge(0)[0]);
    // CSV: map x, y, then the pixel position.
    std::istringstream csv(written(edges, "csv", options));
    std::string header, row;
    std::getline(csv, header);
    std::getline(csv, row);
    EXPECT_EQ(header, "edge,point,x,y,col,row,magnitude,direction");
    double x = 0, y = 0, col = 0, line = 0;
    ASSERT_EQ(std::sscanf(row.c_str(), "0,0,%lf,%lf,%lf,%lf,", &x, &y, &col, &line), 4) << row;
    EXPECT_TRUE(x == first.x && y == first.y && col == edges.edge(0)[0].x && line == edges.edge(0)[0].y) << row;
    // DXF: map units as they are, no flip.
    const std::string dxf = written(edges, "dxf", options);
    const size_t entity = dxf.find("\n10\n", dxf.find("ENTITIES"));
    ASSERT_NE(entity, std::string::npos);
    double dxf_x = 0, dxf_y = 0;
    ASSERT_EQ(std::sscanf(dxf.c_str() + entity, "\n10\n%lf\n20\n%lf\n", &dxf_x, &dxf_y), 2);
    EXPECT_TRUE(dxf_x == first.x && dxf_y == first.y);
    // GeoJSON through GDAL: the coordinate system and the first position.
    const std::string directory = scratch_directory();
    write_file_bytes(directory + "/map.geojson", written(edges, "geojson", options));
    if (access("/usr/bin/ogrinfo", X_OK) != 0) GTEST_SKIP() << "ogrinfo (Debian package gdal-bin) is not installed";
    const ProgramRun info = run_program({"/usr/bin/ogrinfo", "-ro", "-al", "-fid", "0", directory + "/map.geojson"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("ID[\"EPSG\",32633]]"), std::string::npos) << info.out;
    const size_t at = info.out.find("LINESTRING (");
    ASSERT_NE(at, std::string::npos) << info.out;
    double gx = 0, gy = 0;
    ASSERT_EQ(std::sscanf(info.out.c_str() + at, "LINESTRING (%lf %lf", &gx, &gy), 2);
    // ogrinfo prints 15 significant digits.
    EXPECT_NEAR(gx, first.x, 1e-6);
    EXPECT_NEAR(gy, first.y, 1e-6);

    // GDAL's own transform of a raster of the same grid (north up, 2 m by
    // 2 m): its pixel/line of each point's pixel centre is where CSV says.
    if (access("/usr/bin/gdal_create", X_OK) != 0 || access("/usr/bin/gdaltransform", X_OK) != 0)
        GTEST_SKIP() << "gdal_create and gdaltransform (Debian package gdal-bin) are not installed";
    ASSERT_EQ(run_program({"/usr/bin/gdal_create", "-q", "-of", "GTiff", "-outsize", "120", "80", "-bands", "1",
                           "-a_srs", "EPSG:32633", "-a_ullr", "500000", "6000160", "500240", "6000000",
                           directory + "/grid.tif"})
                  .status,
              0);
    options.georeference = lintrace::Georeference{{500000.0, 2.0, 0.0, 6000160.0, 0.0, -2.0}, "EPSG:32633", 32633};
    std::istringstream rows(written(edges, "csv", options));
    std::getline(rows, header);
    std::string positions;
    std::vector<lintrace::Point> ours;
    for (int k = 0; k < 40 && std::getline(rows, row); ++k) {
        double mx = 0, my = 0, px = 0, py = 0;
        int edge = 0, point = 0;
        ASSERT_EQ(std::sscanf(row.c_str(), "%d,%d,%lf,%lf,%lf,%lf,", &edge, &point, &mx, &my, &px, &py), 6) << row;
        ours.push_back(lintrace::Point{mx, my});
        char pair[128];
        std::snprintf(pair, sizeof pair, "%.17g %.17g\n", px + 0.5, py + 0.5);
        positions += pair;
    }
    const ProgramRun gdal = run_program({"/usr/bin/gdaltransform", directory + "/grid.tif"}, positions);
    ASSERT_EQ(gdal.status, 0) << gdal.err;
    std::istringstream answers(gdal.out);
    for (const lintrace::Point& p : ours) {
        double ax = 0, ay = 0, az = 0;
        ASSERT_TRUE(answers >> ax >> ay >> az);
        EXPECT_NEAR(ax, p.x, 1e-6);
        EXPECT_NEAR(ay, p.y, 1e-6);
    }
}
