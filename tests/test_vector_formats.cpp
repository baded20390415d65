// The edges as vector data: each format read back by a real reader (xmllint
// for SVG, Python's json and csv) and compared with the library's edges and
// with the connectivity list; the linking's flags on figures whose answers
// are known; thresholds chosen from the image; the long options' misuse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "helpers.h"
#include "lintrace/formats.h"
#include "options.h"

using testing::HasSubstr;

namespace {

// What a reader found in a vector file: per edge the linking's flags and the
// mean magnitude where the format has them, and its points.
struct ReadPoint {
    double x, y;
    bool has_gradient;
    double magnitude, direction;
};
struct ReadEdge {
    std::string flags;  // closed, starts and ends at a junction as 0/1; empty where the format has none
    bool has_mean = false;
    double mean = 0;
    double length = 0;
    std::vector<ReadPoint> points;
};

// Reads GeoJSON with Python's json and CSV with its csv module, and prints
// every number as its exact hexadecimal text.
const char* const PYTHON_READER = R"(import csv, json, sys
def h(v): return '-' if v is None or v == '' else float(v).hex()
path, kind = sys.argv[1], sys.argv[2]
if kind == 'geojson':
    collection = json.load(open(path))
    assert collection['type'] == 'FeatureCollection'
    c = collection['lintrace']
    print('C', c['version'], c['width'], c['height'], h(c['sigma']), h(c['low_threshold']), h(c['high_threshold']),
          c['sub_pixel'])
    for f in collection['features']:
        p, g = f['properties'], f['geometry']
        assert f['type'] == 'Feature' and (g['type'] == 'Point') == (p['points'] == 1), f
        points = [g['coordinates']] if g['type'] == 'Point' else g['coordinates']
        if p['closed'] and len(points) > 1:
            assert points[-1] == points[0], f  # a closed ring
            points = points[:-1]
        assert g['type'] in ('Point', 'LineString') and len(points) == p['points'], f
        flags = ''.join('1' if p[k] else '0' for k in ('closed', 'starts_at_junction', 'ends_at_junction'))
        print('E', flags, h(p['mean_magnitude']), h(p['length']), p['index'], p['points'])
        for x, y in points:
            print('P', h(x), h(y), '-', '-')
else:
    rows = csv.reader(open(path, newline=''))
    assert next(rows) == ['edge', 'point', 'x', 'y', 'magnitude', 'direction']
    edge, count = None, 0
    for r in rows:
        if r[0] != edge:
            edge, count = r[0], 0
            print('E', '-', '-', '-', edge, '-')
        assert r[1] == str(count), r
        count += 1
        print('P', h(r[2]), h(r[3]), h(r[4]), h(r[5]))
)";

double hex_number(const std::string& text)
{
    return std::strtod(text.c_str(), nullptr);
}

// The words of the GeoJSON collection's own member (version, width, height,
// sigma, low, high, sub_pixel), or of the SVG root's size and view box.
std::vector<std::string> collection_read;

std::vector<ReadEdge> read_with_python(const std::string& file, const std::string& kind)
{
    const std::string script = scratch_directory() + "/reader.py";
    write_file_bytes(script, PYTHON_READER);
    const ProgramRun run = run_program({"/usr/bin/python3", script, file, kind});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<ReadEdge> edges;
    std::istringstream lines(run.out);
    for (std::string tag, a, b, c, d, e; lines >> tag >> a >> b >> c >> d;) {
        if (tag == "C") {
            collection_read = {a, b, c, d};
            for (std::string word; collection_read.size() < 7 && lines >> word;) collection_read.push_back(word);
            continue;
        }
        if (tag == "E") {
            lines >> e;
            edges.emplace_back();
            if (a != "-") edges.back().flags = a;
            edges.back().has_mean = b != "-";
            edges.back().mean = hex_number(b);
            edges.back().length = hex_number(c);
            EXPECT_EQ(d, std::to_string(edges.size() - 1)) << "edges keep the order of the list";
            continue;
        }
        edges.back().points.push_back(ReadPoint{hex_number(a), hex_number(b), c != "-", hex_number(c), hex_number(d)});
    }
    return edges;
}

// The polylines of an SVG file as xmllint reads them.
const std::string XMLLINT = "/usr/bin/xmllint";

std::vector<ReadEdge> read_svg(const std::string& file)
{
    EXPECT_EQ(run_program({XMLLINT, "--noout", file}).status, 0) << "the SVG file is well-formed XML";
    const ProgramRun root = run_program(
        {XMLLINT, "--xpath", "concat(/*/@width, ' ', /*/@height, ' ', /*/@viewBox, ' ', local-name(/*))", file});
    std::istringstream words(root.out);
    collection_read.clear();
    for (std::string word; words >> word;) collection_read.push_back(word);
    const ProgramRun run = run_program({XMLLINT, "--xpath", "//*[local-name()='polyline']/@points", file});
    std::vector<ReadEdge> edges;
    const std::string key = "points=\"";
    for (size_t at = run.out.find(key); at != std::string::npos; at = run.out.find(key, at + 1)) {
        const size_t end = run.out.find('"', at + key.size());
        std::string pairs = run.out.substr(at + key.size(), end - at - key.size());
        std::replace(pairs.begin(), pairs.end(), ',', ' ');
        std::istringstream numbers(pairs);
        edges.emplace_back();
        for (std::string x, y; numbers >> x >> y;)
            edges.back().points.push_back(ReadPoint{hex_number(x), hex_number(y), false, 0, 0});
    }
    return edges;
}

ProgramRun run_lintrace(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), LINTRACE);
    return run_program(arguments);
}

lintrace::Edges trace_image(const TestImage& image, bool sub_pixel, float low, float high, int threads = 0)
{
    lintrace::Settings settings;
    settings.low_threshold = low;
    settings.high_threshold = high;
    settings.sub_pixel = sub_pixel;
    settings.gradient = true;
    settings.threads = threads;
    return lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows), settings);
}

// A figure of two grey levels: `inside` tells which pixels are bright.
template <typename Inside>
TestImage figure(const Inside& inside)
{
    TestImage image = blank_image(40, 40, 50);
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 40; ++c)
            if (inside(c, r)) image.at(c, r) = static_cast<unsigned char>(inside(c, r));
    return image;
}

}  // namespace

TEST(VectorFormats, EachFormatReadBackIsTheListsEdgesAndTheDetectorsGradient)
{
    if (access(XMLLINT.c_str(), X_OK) != 0 || access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "xmllint (Debian package libxml2-utils) and /usr/bin/python3 are needed to read the formats";
    const std::string directory = scratch_directory();
    const TestImage photo = crop(photograph("camera.pgm"), 200, 150, 150, 60);
    write_file_bytes(directory + "/photo.pgm", pgm_bytes(photo));
    for (bool sub_pixel : {false, true}) {
        const lintrace::Edges edges = trace_image(photo, sub_pixel, 1.4f, 2.0f);
        ASSERT_GT(edges.size(), 50u);
        std::vector<std::string> common = {"-i", directory + "/photo.pgm"};
        if (sub_pixel) common.push_back("-sp");
        std::vector<std::string> list_run = common;
        list_run.insert(list_run.end(), {"-o", directory + "/photo.list"});
        ASSERT_EQ(run_lintrace(list_run).status, 0);
        const std::string list = read_file(directory + "/photo.list");
        ASSERT_EQ(edges.list_text(), list);
        for (const std::string format : {"svg", "geojson", "csv"}) {
            const std::string file = directory + "/photo." + format;
            std::vector<std::string> arguments = common;
            arguments.insert(arguments.end(), {"-o", file});
            ASSERT_EQ(run_lintrace(arguments).status, 0) << format;
            const std::vector<ReadEdge> read =
                format == "svg" ? read_svg(file) : read_with_python(file, format);
            ASSERT_EQ(read.size(), edges.size()) << format;
            if (format == "svg") {
                EXPECT_EQ(collection_read,
                          (std::vector<std::string>{"200", "150", "-0.5", "-0.5", "200", "150", "svg"}))
                    << "the canvas lies on the image's pixels";
            }
            if (format == "geojson") {
                ASSERT_EQ(collection_read.size(), 7u);
                EXPECT_EQ(collection_read[0], lintrace::VERSION);
                EXPECT_EQ(collection_read[1] + " " + collection_read[2], "200 150");
                EXPECT_EQ(hex_number(collection_read[3]), 0.4) << "the settings the run used";
                EXPECT_EQ(hex_number(collection_read[4]), static_cast<double>(1.4f));
                EXPECT_EQ(hex_number(collection_read[5]), 2.0);
                EXPECT_EQ(collection_read[6], sub_pixel ? "True" : "False");
            }
            std::string relisted;
            for (size_t k = 0; k < edges.size(); ++k) {
                const auto expected = edges.edge(k);
                const int64_t first = edges.offsets()[k];
                std::vector<ReadPoint> points = read[k].points;
                if (format == "svg" && (edges.closed()[k] || expected.size() == 1)) {
                    // Drawn back to the first point (a single point: a dot).
                    ASSERT_FALSE(points.empty());
                    EXPECT_TRUE(points.back().x == expected[0].x && points.back().y == expected[0].y) << k;
                    points.pop_back();
                }
                ASSERT_EQ(points.size(), expected.size()) << format << " edge " << k;
                double sum = 0;
                double length = 0;
                for (size_t p = 0; p < points.size(); ++p) {
                    EXPECT_EQ(points[p].x, expected[p].x) << format << " edge " << k << " point " << p;
                    EXPECT_EQ(points[p].y, expected[p].y) << format << " edge " << k << " point " << p;
                    char line[128];
                    std::snprintf(line, sizeof line, sub_pixel ? "%.1f %.1f\n" : "%.2f %.2f\n", points[p].x,
                                  points[p].y);
                    relisted += line;
                    sum += edges.magnitudes()[first + p];
                    if (p > 0)
                        length += std::hypot(expected[p].x - expected[p - 1].x, expected[p].y - expected[p - 1].y);
                    if (format == "csv") {
                        ASSERT_TRUE(points[p].has_gradient);
                        EXPECT_EQ(points[p].magnitude, edges.magnitudes()[first + p]);
                        EXPECT_EQ(points[p].direction, edges.directions()[first + p]);
                    }
                }
                relisted += "-1 -1\n";
                if (edges.closed()[k] && points.size() > 1)
                    length += std::hypot(expected[0].x - expected.back().x, expected[0].y - expected.back().y);
                if (format == "geojson") {
                    const std::string flags = std::string(edges.closed()[k] ? "1" : "0") +
                                              (edges.starts_at_junction()[k] ? "1" : "0") +
                                              (edges.ends_at_junction()[k] ? "1" : "0");
                    EXPECT_EQ(read[k].flags, flags) << k;
                    ASSERT_TRUE(read[k].has_mean);
                    EXPECT_EQ(read[k].mean, sum / static_cast<double>(points.size())) << k;
                    EXPECT_EQ(read[k].length, length) << k;
                }
            }
            EXPECT_TRUE(relisted == list) << format << ": the points written as the list writes them are the list";
            if (testing::Test::HasFailure()) return;
        }
    }
}

TEST(VectorFormats, TheGradientIsTheDetectorsAtEveryPointsPixelOnAnyNumberOfThreads)
{
    std::mt19937 random(13);
    const TestImage image = random_image(120, 90, random);
    std::vector<double> dx, dy, magnitude;
    gradient_images(image, 0.4, &dx, &dy, &magnitude);
    const lintrace::Edges pixel = trace_image(image, false, 1.4f, 2.0f, 1);
    ASSERT_EQ(pixel.magnitudes().size(), pixel.points().size());
    ASSERT_EQ(pixel.directions().size(), pixel.points().size());
    ASSERT_EQ(pixel.point_count(), pixel.points().size());
    ASSERT_GT(pixel.points().size(), 200u);
    for (size_t k = 0; k < pixel.points().size(); ++k) {
        const size_t cell =
            static_cast<size_t>(pixel.points()[k].y) * image.columns + static_cast<size_t>(pixel.points()[k].x);
        ASSERT_EQ(pixel.magnitudes()[k], magnitude[cell]) << k;
        ASSERT_EQ(pixel.directions()[k], std::atan2(dy[cell], dx[cell])) << k;
    }
    // Sub-pixel positions leave the pixels, and the gradient, as they were;
    // bands of a few rows on several threads give the same values.
    lintrace::Settings settings;
    settings.sub_pixel = true;
    settings.gradient = true;
    settings.threads = 3;
    const lintrace::Edges cut = lintrace::detail::trace(
        lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows), settings, small_pieces());
    EXPECT_EQ(cut.magnitudes(), pixel.magnitudes());
    EXPECT_EQ(cut.directions(), pixel.directions());
    // The formats are written in pieces of three edges on three threads, and
    // read the same as written whole on one.
    settings.threads = 1;
    const lintrace::Edges whole =
        lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows), settings);
    const auto text = [&settings](const lintrace::Edges& edges, int format) {
        std::string out;
        const auto sink = [&out](std::string_view piece) { out.append(piece); };
        lintrace::WriteOptions options;
        options.settings = settings;
        lintrace::write(edges, *lintrace::find_format(std::array{"svg", "geojson", "csv", "dxf"}[format]), options,
                        sink);
        return out;
    };
    for (int format = 0; format < 4; ++format) EXPECT_TRUE(text(cut, format) == text(whole, format)) << format;
    lintrace::Settings unbounded = settings;
    unbounded.low_threshold = unbounded.high_threshold = INFINITY;
    std::string geojson;
    lintrace::WriteOptions unbounded_options;
    unbounded_options.settings = unbounded;
    lintrace::write(whole, *lintrace::find_format("geojson"), unbounded_options,
                    [&geojson](std::string_view piece) { geojson.append(piece); });
    EXPECT_THAT(geojson, HasSubstr("\"low_threshold\":null,\"high_threshold\":null,")) << "JSON has no infinities";
    // Samples of 16 bits are read through rows of grey levels, which the
    // gradient at the points reads after linking.
    const TestImage large = random_image(1200, 800, random);
    std::vector<uint16_t> wide(large.pixels.begin(), large.pixels.end());
    for (uint16_t& v : wide) v = static_cast<uint16_t>(v * 257);
    lintrace::ImageView wide_view{wide.data(), large.columns, large.rows, 0, lintrace::SampleType::UINT16,
                                  1,           65535,         nullptr};
    const lintrace::Edges from_wide = lintrace::trace(wide_view, settings);
    const lintrace::Edges from_bytes =
        lintrace::trace(lintrace::ImageView::grey8(large.pixels.data(), large.columns, large.rows), settings);
    ASSERT_GT(from_bytes.magnitudes().size(), 1000u);
    EXPECT_TRUE(from_wide.magnitudes() == from_bytes.magnitudes());
    EXPECT_TRUE(from_wide.directions() == from_bytes.directions());
    EXPECT_TRUE(lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), 120, 90), {}).magnitudes().empty())
        << "the gradient is kept only when asked for";
}

TEST(VectorFormats, FlagsAreTheLinkingsOnFiguresWithKnownAnswers)
{
    struct Case {
        const char* name;
        TestImage image;
        size_t edges;
        bool closed;
        bool starts_at_junction;
        bool ends_at_junction;
    };
    const Case cases[] = {
        {"a ring",
         figure([](int c, int r) { return (c - 19.5) * (c - 19.5) + (r - 19.5) * (r - 19.5) < 144 ? 200 : 0; }), 1,
         true, false, false},
        {"a T", figure([](int c, int r) { return r < 20   ? 0
                                                 : c < 20 ? 150
                                                          : 250; }), 3, false, false, true},
        {"an open arc",
         figure([](int c, int r) { return (c - 19.5) * (c - 19.5) + (r - 45) * (r - 45) < 400 ? 200 : 0; }), 1, false,
         false, false},
    };
    for (const Case& c : cases) {
        const lintrace::Edges edges = trace_image(c.image, false, 5.0f, 10.0f);
        ASSERT_EQ(edges.size(), c.edges) << c.name;
        for (size_t k = 0; k < edges.size(); ++k) {
            EXPECT_EQ(edges.closed()[k] != 0, c.closed) << c.name;
            EXPECT_EQ(edges.starts_at_junction()[k] != 0, c.starts_at_junction) << c.name;
            EXPECT_EQ(edges.ends_at_junction()[k] != 0, c.ends_at_junction) << c.name;
            const auto points = edges.edge(k);
            const bool ends_touch = std::fabs(points.front().x - points.back().x) <= 1 &&
                                    std::fabs(points.front().y - points.back().y) <= 1;
            EXPECT_EQ(ends_touch, c.closed) << c.name << ": a closed edge's ends are neighbours";
            if (c.ends_at_junction) {
                EXPECT_TRUE(points.back().x == 20 && points.back().y == 20) << c.name << ": the edges meet at the T";
            }
        }
    }
}

TEST(AutomaticThresholds, HighIsTheSmallestMagnitudeThatTheFractionDoesNotExceed)
{
    const TestImage photo = crop(photograph("chelsea.pgm"), 160, 120, 100, 80);
    for (double sigma : {0.4, 1.0, 2.0}) {
        std::vector<double> dx, dy, magnitude;
        gradient_images(photo, sigma, &dx, &dy, &magnitude);
        const int half = (mask_of(sigma) + 1) / 2;
        std::vector<double> inside;
        for (int r = half + 1; r < photo.rows - half; ++r)
            for (int c = half + 1; c < photo.columns - half; ++c) inside.push_back(magnitude[r * photo.columns + c]);
        const double n = static_cast<double>(inside.size());
        for (double fraction : {0.05, 0.5, 0.7, 0.9, 1.0}) {
            lintrace::Settings settings;
            settings.sigma = sigma;
            const lintrace::Thresholds chosen = lintrace::automatic_thresholds(
                lintrace::ImageView::grey8(photo.pixels.data(), photo.columns, photo.rows), settings, fraction);
            const double at_most = static_cast<double>(
                std::count_if(inside.begin(), inside.end(), [&](double m) { return m <= chosen.high; }));
            const double below = static_cast<double>(
                std::count_if(inside.begin(), inside.end(), [&](double m) { return m < chosen.high; }));
            EXPECT_GE(at_most / n, fraction) << sigma << " " << fraction;
            EXPECT_LT(below / n, fraction) << sigma << " " << fraction << ": no smaller magnitude would do";
            EXPECT_EQ(chosen.low, 0.4 * chosen.high);
        }
    }
    const TestImage tiny = blank_image(5, 5, 9);
    const lintrace::Thresholds none =
        lintrace::automatic_thresholds(lintrace::ImageView::grey8(tiny.pixels.data(), 5, 5), lintrace::Settings{}, 0.7);
    EXPECT_TRUE(none.low == 0 && none.high == 0) << "no pixel inside the margin";
    for (double refused : {0.0, -0.5, 1.5, std::nan("")})
        EXPECT_THROW(lintrace::automatic_thresholds(lintrace::ImageView::grey8(tiny.pixels.data(), 5, 5),
                                                    lintrace::Settings{}, refused),
                     std::invalid_argument);
}

TEST(AutomaticThresholds, SinglePrecisionThresholdsAreTheSmallestFloatsThatReplayExactly)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> magnitude(0.0, 400.0);
    std::vector<double> highs = {0.0, 1.0, 0x1p-149, 2.0000001, static_cast<double>(1.4f), 1e38};
    for (int k = 0; k < 100000; ++k) highs.push_back(magnitude(random));
    for (double high : highs) {
        float low_threshold = 0, high_threshold = 0;
        ASSERT_TRUE(lintrace::single_precision_thresholds(high, &low_threshold, &high_threshold));
        ASSERT_GE(static_cast<double>(high_threshold), high);
        ASSERT_LT(static_cast<double>(std::nextafter(high_threshold, -1.0f)), high) << std::hexfloat << high;
        ASSERT_EQ(low_threshold, static_cast<float>(0.4 * static_cast<double>(high_threshold)));
        char printed[64];
        std::snprintf(printed, sizeof printed, "%.9g %.9g", static_cast<double>(low_threshold),
                      static_cast<double>(high_threshold));
        float low_read = 0, high_read = 0;
        ASSERT_EQ(std::sscanf(printed, "%f %f", &low_read, &high_read), 2);
        ASSERT_TRUE(low_read == low_threshold && high_read == high_threshold) << printed << " reads back the same";
    }
    float low_threshold = 0, high_threshold = 0;
    EXPECT_FALSE(lintrace::single_precision_thresholds(1e39, &low_threshold, &high_threshold)) << "beyond the floats";
}

TEST(AutomaticThresholds, TheProgramPrintsSwitchesThatReplayTheRun)
{
    const std::string directory = scratch_directory();
    const std::string in = DATA_DIR + "/coffee.pgm";
    for (const std::string fraction : {"0.8", ""}) {
        std::vector<std::string> arguments = {"-i", in, "-o", directory + "/auto.list", "-s", "1.0", "--auto"};
        if (!fraction.empty()) arguments.push_back(fraction);
        const ProgramRun chosen = run_lintrace(arguments);
        ASSERT_EQ(chosen.status, 0) << chosen.err;
        std::istringstream words(chosen.err);
        std::string prefix, lt, low, ht, high;
        words >> prefix >> lt >> low >> ht >> high;
        ASSERT_EQ(prefix + " " + lt + " " + ht, "lintrace: -lt -ht") << chosen.err;
        ASSERT_EQ(
            run_lintrace({"-i", in, "-o", directory + "/replay.list", "-s", "1.0", "-lt", low, "-ht", high}).status, 0);
        EXPECT_FALSE(read_file(directory + "/auto.list").empty());
        EXPECT_TRUE(read_file(directory + "/auto.list") == read_file(directory + "/replay.list")) << fraction;
    }
}
