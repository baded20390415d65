// The streamed runs: an image read a band of rows at a time, or traced in
// bands whose crossing groups are linked afterwards, gives trace()'s edges,
// each with the same points in the same order, in the groups' own order,
// whatever the bands and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"
#include "image_files.h"
#include "lintrace/stream.h"

namespace {

using lintrace::Edges;
using lintrace::Point;

// One edge as the list has it: its lines.
using EdgeText = std::vector<std::string>;

std::vector<EdgeText> edges_of_list(const std::string& list)
{
    std::vector<EdgeText> edges(1);
    size_t at = 0;
    while (at < list.size()) {
        const size_t end = list.find('\n', at);
        const std::string line = list.substr(at, end - at);
        at = end + 1;
        if (line == "-1 -1")
            edges.emplace_back();
        else
            edges.back().push_back(line);
    }
    edges.pop_back();
    return edges;
}

class GreyRowsSource final : public lintrace::RowSource {
public:
    explicit GreyRowsSource(const TestImage& image) : image_(image) {}
    lintrace::ImageView shape() const override
    {
        return lintrace::ImageView{nullptr, image_.columns, image_.rows, 0, lintrace::SampleType::UINT8, 1, 255,
                                   nullptr};
    }
    void read(int64_t count, void* rows) override
    {
        std::memcpy(rows, image_.pixels.data() + next_ * image_.columns, static_cast<size_t>(count) * image_.columns);
        next_ += count;
        read_ += count;
    }
    int64_t rows_read() const { return read_; }

private:
    const TestImage& image_;
    int64_t next_ = 0;
    int64_t read_ = 0;
};

struct Streamed {
    std::string list;              // every batch's list, in the order handed over
    std::vector<int64_t> keys;     // every edge's group key, in that order
    size_t batches = 0;
};

Streamed stream(const TestImage& image, const lintrace::Settings& settings, int64_t band_rows)
{
    GreyRowsSource source(image);
    Streamed out;
    lintrace::detail::trace_stream(source, settings, small_pieces(), band_rows, [&](Edges&& edges) {
        out.list += edges.list_text();
        out.keys.insert(out.keys.end(), edges.group_keys().begin(), edges.group_keys().end());
        EXPECT_EQ(edges.group_keys().size(), 2 * edges.size());
        ++out.batches;
    }, nullptr);
    EXPECT_EQ(source.rows_read(), image.rows);
    return out;
}

// The image cut into bands of `rows` rows, each traced from its own rows and
// margin, and the crossing groups linked afterwards; the edges of every
// batch put in the groups' order by their keys.
std::string traced_in_bands(const TestImage& image, const lintrace::Settings& settings, int rows)
{
    struct Batch {
        std::vector<int64_t> keys;
        std::vector<EdgeText> edges;
    };
    std::vector<Batch> batches;
    const auto keep = [&batches](Edges&& edges) {
        batches.push_back(Batch{edges.group_keys(), edges_of_list(edges.list_text())});
    };
    std::vector<lintrace::Candidates> crossing;
    const int margin = lintrace::band_margin(settings);
    for (int first = 0; first < image.rows; first += rows) {
        const int end = std::min(first + rows, image.rows);
        const int from = std::max(0, first - margin);
        const int to = std::min(image.rows, end + margin);
        const lintrace::ImageView view = lintrace::ImageView::grey8(
            image.pixels.data() + static_cast<size_t>(from) * image.columns, image.columns, to - from);
        crossing.push_back(lintrace::detail::trace_band(view, from, image.rows, first, end, settings, small_pieces(),
                                                        5, keep));
    }
    std::vector<const lintrace::Candidates*> all;
    for (const lintrace::Candidates& c : crossing) all.push_back(&c);
    lintrace::detail::link_crossing(all, image.columns, image.rows, settings, small_pieces(), 5, keep);
    // Every edge with its key, then a stable sort by key.
    std::vector<std::pair<std::pair<int64_t, int64_t>, const EdgeText*>> keyed;
    for (const Batch& batch : batches)
        for (size_t k = 0; k < batch.edges.size(); ++k)
            keyed.push_back({{batch.keys[2 * k], batch.keys[2 * k + 1]}, &batch.edges[k]});
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string list;
    for (const auto& [key, edge] : keyed) {
        for (const std::string& line : *edge) list += line + "\n";
        list += "-1 -1\n";
    }
    return list;
}

struct Case {
    const char* name;
    int columns, rows;  // a crop of the photograph; 0: whole
    double sigma;
    bool sub_pixel;
    bool refine;
    float low, high;
};

const Case CASES[] = {
    {"camera", 0, 0, 0.4, false, false, 1.4f, 2.0f},
    {"coffee", 0, 0, 1.0, true, false, 1.4f, 2.0f},
    {"astronaut", 300, 200, 2.0, true, true, 1.4f, 2.0f},
    {"chelsea", 0, 0, 0.4, true, false, 0.5f, 8.0f},  // weak chains reached through junctions, cycles deep
};

TEST(Stream, GivesTheEdgesOfTheWholeRunInTheGroupsOrderWhateverTheBandsAndThreads)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        TestImage image = photograph(std::string(c.name) + ".pgm");
        if (c.columns != 0) image = crop(image, c.columns, c.rows, 40, 60);
        lintrace::Settings settings;
        settings.sigma = c.sigma;
        settings.sub_pixel = c.sub_pixel;
        settings.refine = c.refine;
        settings.low_threshold = c.low;
        settings.high_threshold = c.high;
        settings.threads = 1;
        const lintrace::ImageView view = lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows);
        const std::string whole = lintrace::detail::trace(view, settings, small_pieces()).list_text();

        const Streamed reference = stream(image, settings, 1);
        // The same edges, point for point: the lists hold the same blocks.
        std::vector<EdgeText> expected = edges_of_list(whole), got = edges_of_list(reference.list);
        ASSERT_GT(expected.size(), 100u);
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_TRUE(expected == got) << expected.size() << " edges traced whole, " << got.size() << " streamed";
        // In the groups' order: keys never decrease.
        for (size_t k = 2; k < reference.keys.size(); k += 2)
            ASSERT_TRUE(std::make_pair(reference.keys[k - 2], reference.keys[k - 1]) <=
                        std::make_pair(reference.keys[k], reference.keys[k + 1]))
                << "edge " << k / 2;
        // A group's edges in the order the whole run lists them: the edges of
        // one group keep their relative order in the whole list.
        std::map<EdgeText, size_t> place_in_whole;
        const std::vector<EdgeText> whole_edges = edges_of_list(whole);
        for (size_t k = 0; k < whole_edges.size(); ++k) place_in_whole[whole_edges[k]] = k;
        const std::vector<EdgeText> streamed_edges = edges_of_list(reference.list);
        for (size_t k = 1; k < streamed_edges.size(); ++k)
            if (reference.keys[2 * k] == reference.keys[2 * k - 2] &&
                reference.keys[2 * k + 1] == reference.keys[2 * k - 1]) {
                ASSERT_LT(place_in_whole[streamed_edges[k - 1]], place_in_whole[streamed_edges[k]]) << "edge " << k;
            }

        // Bands of other sizes, more threads, and bands traced apart give the
        // same bytes.
        for (const int64_t rows : {int64_t{2}, int64_t{7}, int64_t{64}, int64_t{100000}}) {
            for (const int threads : {1, 3}) {
                settings.threads = threads;
                const Streamed other = stream(image, settings, rows);
                EXPECT_EQ(first_difference(other.list, reference.list), "") << rows << " rows, " << threads << " threads";
                if (rows == 2) {
                    EXPECT_GT(other.batches, 10u);
                }
            }
        }
        settings.threads = 2;
        for (const int rows : {9, 40, 1000})
            EXPECT_EQ(first_difference(traced_in_bands(image, settings, rows), reference.list), "") << rows << " rows a band";
    }
}

TEST(Stream, ReadsTheRowsABandAhead)
{
    // A tall photograph (four above one another): after each band, no more
    // rows have been read than the band's and the margin its gradient
    // reads, and the edges handed over so far are counted.
    const TestImage one = photograph("camera.pgm");
    TestImage image = one;
    image.rows = 4 * one.rows;
    for (int k = 1; k < 4; ++k) image.pixels.insert(image.pixels.end(), one.pixels.begin(), one.pixels.end());
    lintrace::Settings settings;
    settings.threads = 2;
    GreyRowsSource source(image);
    const int64_t band = 50;
    const int64_t half = (lintrace::mask_size(settings.sigma) + 1) / 2;
    int64_t rows_before = 0, calls = 0;
    uint64_t edges = 0;
    lintrace::detail::trace_stream(source, settings, small_pieces(), band, [&](Edges&& e) { edges += e.size(); },
                                   [&](const lintrace::StreamProgress& p) {
                                       EXPECT_EQ(p.rows, image.rows);
                                       EXPECT_EQ(p.edges, edges);
                                       EXPECT_LE(p.rows_read - rows_before, band + 2 * half + 2);
                                       rows_before = p.rows_read;
                                       ++calls;
                                   });
    EXPECT_EQ(rows_before, image.rows);
    EXPECT_GE(calls, image.rows / band);
    EXPECT_GT(edges, 4000u);
}

TEST(Stream, TheProgramStreamsEveryFormatToTheEdgesOfItsStandardRun)
{
    // A photograph as every format: the streamed list holds the standard
    // run's edges and is the same on one thread and on two.
    const TestImage photo = crop(photograph("coffee.pgm"), 600, 400);
    std::vector<uint16_t> grey16(photo.pixels.begin(), photo.pixels.end());
    std::vector<double> levels(photo.pixels.begin(), photo.pixels.end()), levels16;
    for (double v : levels) levels16.push_back(257 * v);
    std::vector<uint8_t> rgb;
    for (unsigned char v : photo.pixels)
        for (int k = 0; k < 3; ++k) rgb.push_back(static_cast<uint8_t>(std::min(255, v + 20 * k)));
    TiffLayout tiled;
    tiled.tiled = true;
    tiled.tile = 32;
    TiffLayout strips16;
    strips16.bits = 16;
    const std::string dir = scratch_directory();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"photo.pgm", pgm_bytes(photo)},
        {"photo.png", png_file(grey16, photo.columns, photo.rows, 1, 8)},
        {"photo.jpg", jpeg_file(rgb, photo.columns, photo.rows, 3, 90)},
        {"photo.tif", tiff_file(levels, photo.columns, photo.rows, tiled)},
        {"photo16.tif", tiff_file(levels16, photo.columns, photo.rows, strips16)},
    };
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string in = dir + "/" + name;
        write_file_bytes(in, bytes);
        const ProgramRun standard = run_program({LINTRACE, "-i", in, "-o", "-", "-s", "1.0", "-sp"});
        const ProgramRun one = run_program({LINTRACE, "-i", in, "-o", "-", "-s", "1.0", "-sp", "--stream",
                                            "--threads", "1"});
        const ProgramRun two = run_program({LINTRACE, "-i", in, "-o", dir + "/two.list", "-s", "1.0", "-sp",
                                            "--stream", "--threads", "2", "--progress"});
        ASSERT_EQ(standard.status, 0) << standard.err;
        ASSERT_EQ(one.status, 0) << one.err;
        ASSERT_EQ(two.status, 0) << two.err;
        std::vector<EdgeText> expected = edges_of_list(standard.out), got = edges_of_list(one.out);
        ASSERT_GT(expected.size(), 500u);
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        EXPECT_TRUE(expected == got);
        EXPECT_EQ(read_file(dir + "/two.list"), one.out);
        // The progress ends with every row read and every edge counted.
        const std::string last = "lintrace: rows " + std::to_string(photo.rows) + " of " +
                                 std::to_string(photo.rows) + " (100.0%), " +
                                 std::to_string(edges_of_list(one.out).size()) + " edges, ";
        EXPECT_NE(two.err.find(last), std::string::npos) << two.err;
    }
}

TEST(Stream, AFileThatEndsEarlyIsRefusedAndTheOutputKept)
{
    const TestImage photo = crop(photograph("camera.pgm"), 300, 200);
    std::string bytes = pgm_bytes(photo);
    bytes.resize(bytes.size() - 3000);
    const std::string dir = scratch_directory();
    write_file_bytes(dir + "/short.pgm", bytes);
    write_file_bytes(dir + "/out.list", "kept\n");
    const ProgramRun run = run_program({LINTRACE, "-i", dir + "/short.pgm", "-o", dir + "/out.list", "--stream"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir + "/short.pgm"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(dir + "/out.list"), "kept\n");
}

// The process's peak resident bytes since the last reset, or -1.
int64_t peak_resident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return -1;
}

int64_t resident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return -1;
}

// A tall mosaic of a photograph's tiles, made a row at a time as it is read:
// no image is held but the photograph.
class MosaicRows final : public lintrace::RowSource {
public:
    MosaicRows(const TestImage& tile, int64_t columns, int64_t rows) : tile_(tile), columns_(columns), rows_(rows) {}
    lintrace::ImageView shape() const override
    {
        return lintrace::ImageView{nullptr, columns_, rows_, 0, lintrace::SampleType::UINT8, 1, 255, nullptr};
    }
    void read(int64_t count, void* rows) override
    {
        auto* out = static_cast<unsigned char*>(rows);
        for (int64_t k = 0; k < count; ++k, ++next_) {
            // Each band of tiles shifted and every other tile mirrored, so
            // that the seams do not line up.
            const int64_t band = next_ / tile_.rows, shift = band * 97;
            const int r = static_cast<int>(next_ % tile_.rows);
            for (int64_t c = 0; c < columns_; ++c) {
                const int64_t at = c + shift;
                const int64_t which = at / tile_.columns;
                int x = static_cast<int>(at % tile_.columns);
                if ((which + band) % 2 == 1) x = tile_.columns - 1 - x;
                *out++ = tile_.pixels[static_cast<size_t>(r) * tile_.columns + x];
            }
        }
    }

private:
    const TestImage& tile_;
    int64_t columns_, rows_;
    int64_t next_ = 0;
};

bool reset_peak_resident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear) && peak_resident() >= 0;
}

TEST(Stream, HoldsABandAndTheOpenGroupsNotTheImage)
{
    // 48 megapixels of photographs (a row is 2000 bytes), streamed in bands
    // of 64 rows: once a third of the rows are read, the memory held stops
    // growing. Holding the rows read, the candidates or the edges would
    // grow it by 32 megabytes or more over the last two thirds.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer holds freed memory back";
#endif
    if (!reset_peak_resident()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    const TestImage tile = photograph("coffee.pgm");
    MosaicRows source(tile, 2000, 24000);
    lintrace::Settings settings;
    settings.threads = 2;
    settings.sub_pixel = true;
    uint64_t edges = 0;
    int64_t at_a_third = -1;
    lintrace::detail::trace_stream(source, settings, Schedule{}, 64, [&](Edges&& e) { edges += e.size(); },
                                   [&](const lintrace::StreamProgress& p) {
                                       if (at_a_third < 0 && p.rows_read >= p.rows / 3 && reset_peak_resident())
                                           at_a_third = resident();
                                   });
    ASSERT_GE(at_a_third, 0);
    const int64_t growth = peak_resident() - at_a_third;
    EXPECT_GT(edges, 100000u);
    EXPECT_LT(growth, 16 << 20) << growth << " bytes more over the last two thirds of the rows";
}

TEST(Stream, RefusesWhatItCannotDo)
{
    const TestImage image = blank_image(20, 20);
    GreyRowsSource source(image);
    lintrace::Settings settings;
    settings.gradient = true;
    EXPECT_THROW(lintrace::trace_stream(source, settings, [](Edges&&) {}), std::invalid_argument);
    settings.gradient = false;
    settings.refine = true;
    EXPECT_THROW(lintrace::trace_stream(source, settings, [](Edges&&) {}), std::invalid_argument);
    settings.refine = false;
    // A band whose margin is missing.
    const lintrace::ImageView view = lintrace::ImageView::grey8(image.pixels.data(), 20, 10);
    EXPECT_THROW(lintrace::trace_band(view, 0, 20, 0, 10, settings, [](Edges&&) {}), std::invalid_argument);
    lintrace::Candidates twice;
    twice.x = {5, 5};
    twice.y = {5, 5};
    twice.strong = {1, 1};
    EXPECT_THROW(lintrace::link_crossing({&twice}, 20, 20, settings, [](Edges&&) {}), std::invalid_argument);
    lintrace::Candidates outside;
    outside.x = {25};
    outside.y = {5};
    outside.strong = {1};
    EXPECT_THROW(lintrace::link_crossing({&outside}, 20, 20, settings, [](Edges&&) {}), std::invalid_argument);
}

}  // namespace
