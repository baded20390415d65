// The library's entry point as other programs use it: grey levels of every
// kind against the literal twin, the edges as arrays, runs at once on
// several threads, and failures reported as exceptions.
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <thread>

#include "helpers.h"
#include "literal/literal.h"

namespace {

lintrace::Settings settings_of(double sigma, double low, double high, bool sub_pixel, int threads = 1)
{
    return lintrace::Settings{sigma, low, high, sub_pixel, threads};
}

lintrace::Edges trace_small(const lintrace::ImageView& view, const lintrace::Settings& settings)
{
    return lintrace::detail::trace(view, settings, small_pieces());
}

// The literal twin's list for grey levels, with thresholds given as doubles.
std::string literal_list(const std::vector<double>& levels, int columns, int rows, double sigma, double low,
                         double high, bool sub_pixel)
{
    literal::reset();
    literal::XSIZE = columns;
    literal::YSIZE = rows;
    std::vector<const double*> row_of(rows);
    for (int r = 0; r < rows; ++r) row_of[r] = levels.data() + static_cast<size_t>(r) * columns;
    const int mask = literal::mask_for(sigma);
    double* dx;
    double* dy;
    double* magnitude;
    literal::convolve(row_of.data(), mask, sigma, &dx, &dy, &magnitude);
    literal::local_extrema(mask, dx, dy, magnitude, low, high);
    literal::join_edges();
    std::string text = literal::write_list(sub_pixel);
    delete[] dx;
    delete[] dy;
    delete[] magnitude;
    literal::reset();
    return text;
}

// Samples of a random picture, `channels` to a pixel, below `top`.
template <typename T>
std::vector<T> random_samples(int columns, int rows, int channels, unsigned top, std::mt19937& random)
{
    const TestImage grey = random_image(columns, rows, random);
    std::vector<T> samples(static_cast<size_t>(columns) * rows * channels);
    for (size_t p = 0; p < grey.pixels.size(); ++p)
        for (int k = 0; k < channels; ++k)
            samples[p * channels + k] = static_cast<T>((grey.pixels[p] * (k + 3) + random() % 7) * top / (255u * 10));
    return samples;
}

}  // namespace

TEST(Library, EveryKindOfSampleIsTracedOnTheGreyLevelsItStandsFor)
{
    // The expected levels are worked out here, independently of the library:
    // v 255 / max, alpha over white, then BT.601 luma.
    std::mt19937 random(7);
    constexpr int columns = 37;
    constexpr int rows = 29;
    const auto level = [](double v, double max) { return v * 255.0 / max; };
    const auto expected_levels = [&](const auto& samples, int channels, double max) {
        std::vector<double> levels(static_cast<size_t>(columns) * rows);
        for (size_t p = 0; p < levels.size(); ++p) {
            const auto* s = &samples[p * channels];
            double grey = channels <= 2 ? level(s[0], max)
                                        : 0.299 * level(s[0], max) + 0.587 * level(s[1], max) +
                                              0.114 * level(s[2], max);
            if (channels % 2 == 0) {
                const double alpha = level(s[channels - 1], max) / 255.0;
                grey = grey * alpha + 255.0 * (1.0 - alpha);
            }
            levels[p] = grey;
        }
        return levels;
    };
    struct Case {
        const char* what;
        lintrace::SampleType type;
        int channels;
        double max;
    };
    const Case cases[] = {
        {"12-bit grey in 16-bit samples", lintrace::SampleType::UINT16, 1, 4095},
        {"bytes whose largest value is 100", lintrace::SampleType::UINT8, 1, 100},
        {"8-bit RGB", lintrace::SampleType::UINT8, 3, 255},
        {"16-bit RGBA", lintrace::SampleType::UINT16, 4, 65535},
        {"8-bit grey and alpha", lintrace::SampleType::UINT8, 2, 255},
    };
    for (const Case& c : cases) {
        lintrace::ImageView view;
        view.width = columns;
        view.height = rows;
        view.type = c.type;
        view.channels = c.channels;
        view.max_value = c.max;
        std::vector<double> levels;
        std::vector<uint8_t> bytes;
        std::vector<uint16_t> words;
        if (c.type == lintrace::SampleType::UINT8) {
            bytes = random_samples<uint8_t>(columns, rows, c.channels, static_cast<unsigned>(c.max) + 1, random);
            view.samples = bytes.data();
            levels = expected_levels(bytes, c.channels, c.max);
        } else {
            words = random_samples<uint16_t>(columns, rows, c.channels, static_cast<unsigned>(c.max) + 1, random);
            view.samples = words.data();
            levels = expected_levels(words, c.channels, c.max);
        }
        size_t fractions = 0;
        for (double v : levels) fractions += v != std::floor(v);
        ASSERT_GT(fractions, levels.size() / 4) << c.what;  // the doubles path is really taken
        for (bool sub_pixel : {false, true}) {
            const std::string expected = literal_list(levels, columns, rows, 0.6, 1.0, 3.0, sub_pixel);
            EXPECT_EQ(first_difference(trace_small(view, settings_of(0.6, 1.0, 3.0, sub_pixel, 2)).list_text(), expected), "")
                << c.what;
        }
        // Double samples are the levels themselves.
        const lintrace::ImageView as_levels{levels.data(), columns, rows, 0, lintrace::SampleType::DOUBLE, 1, 1.0,
                                            nullptr};
        EXPECT_EQ(first_difference(trace_small(as_levels, settings_of(0.6, 1.0, 3.0, true)).list_text(),
                                   literal_list(levels, columns, rows, 0.6, 1.0, 3.0, true)),
                  "")
            << c.what;
    }
}

TEST(Library, ThresholdsEqualToAMagnitudeCountAsReachingIt)
{
    // With both thresholds at a candidate's own magnitude it is kept and
    // strong; one step above, it is gone. Thresholds taken from the
    // candidates' magnitudes, on the path the program runs.
    const TestImage image = crop(photograph("camera.pgm"), 48, 40, 200, 100);
    std::vector<double> levels(image.pixels.begin(), image.pixels.end());
    // The candidates' magnitudes, from the literal twin's table.
    std::vector<double> candidates;
    {
        literal::reset();
        literal::XSIZE = image.columns;
        literal::YSIZE = image.rows;
        std::vector<const double*> row_of(image.rows);
        for (int r = 0; r < image.rows; ++r) row_of[r] = levels.data() + static_cast<size_t>(r) * image.columns;
        double* dx;
        double* dy;
        double* magnitude;
        literal::convolve(row_of.data(), 5, 1.0, &dx, &dy, &magnitude);
        literal::local_extrema(5, dx, dy, magnitude, 1.0, 1e9);
        for (int b = 0; b < 20000; ++b)
            for (const literal::Edgel* e = literal::edgels[b]; e != nullptr; e = e->next)
                candidates.push_back(std::hypot(e->gx, e->gy));
        delete[] dx;
        delete[] dy;
        delete[] magnitude;
        literal::reset();
    }
    ASSERT_GT(candidates.size(), 20u);
    const lintrace::ImageView view = lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows);
    for (size_t k = 0; k < candidates.size(); k += candidates.size() / 10) {
        const double at = candidates[k];
        const double above = std::nextafter(at, 1e9);
        for (bool sub_pixel : {false, true}) {
            const std::string reaching = literal_list(levels, image.columns, image.rows, 1.0, at, at, sub_pixel);
            const std::string above_it = literal_list(levels, image.columns, image.rows, 1.0, above, above, sub_pixel);
            ASSERT_NE(reaching, above_it) << "the magnitude " << at << " is a candidate's";
            EXPECT_EQ(first_difference(trace_small(view, settings_of(1.0, at, at, sub_pixel, 2)).list_text(), reaching), "")
                << at;
            EXPECT_EQ(first_difference(trace_small(view, settings_of(1.0, above, above, sub_pixel)).list_text(), above_it), "")
                << at;
        }
    }
}

TEST(Library, TheArraysHoldTheListsPointsEdgeByEdge)
{
    const TestImage image = crop(photograph("coffee.pgm"), 120, 90, 100, 80);
    const lintrace::ImageView view = lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows);
    for (bool sub_pixel : {false, true}) {
        const lintrace::Edges edges = trace_small(view, settings_of(1.0, 2.0, 5.0, sub_pixel, 2));
        ASSERT_GT(edges.size(), 10u);
        ASSERT_EQ(edges.offsets().size(), edges.size() + 1);
        std::string text;
        char line[128];
        for (size_t k = 0; k < edges.size(); ++k) {
            for (const lintrace::Point& p : edges.edge(k)) {
                std::snprintf(line, sizeof line, sub_pixel ? "%.1f %.1f\n" : "%.2f %.2f\n", p.x, p.y);
                text += line;
            }
            text += "-1 -1\n";
        }
        EXPECT_EQ(first_difference(text, edges.list_text()), "");
        // The same arrays given back write the same list.
        const lintrace::Edges again = lintrace::Edges::from_arrays(edges.width(), edges.height(), sub_pixel,
                                                                   edges.points(), edges.offsets());
        EXPECT_EQ(first_difference(again.list_text(), text), "");
    }
}

TEST(Library, ClosedAndJunctionFlagsAreWhatTheLinkingFound)
{
    // A ring is one closed edge; a bar that crosses it makes junctions, and
    // the bar's ends outside the ring are open edges ending at a junction.
    TestImage image = blank_image(80, 80, 20);
    for (int r = 0; r < 80; ++r)
        for (int c = 0; c < 80; ++c) {
            const double d = std::hypot(c - 40.0, r - 40.0);
            if (d < 22) image.at(c, r) = 220;
        }
    const lintrace::ImageView ring = lintrace::ImageView::grey8(image.pixels.data(), 80, 80);
    const lintrace::Edges alone = trace_small(ring, settings_of(1.0, 3.0, 6.0, false));
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone.closed(), std::vector<uint8_t>{1});
    EXPECT_EQ(alone.starts_at_junction(), std::vector<uint8_t>{0});
    EXPECT_EQ(alone.ends_at_junction(), std::vector<uint8_t>{0});

    for (int r = 38; r < 80; ++r)
        for (int c = 36; c < 44; ++c) image.at(c, r) = 120;
    const lintrace::ImageView crossed = lintrace::ImageView::grey8(image.pixels.data(), 80, 80);
    const lintrace::Edges parts = trace_small(crossed, settings_of(1.0, 3.0, 6.0, false));
    ASSERT_GT(parts.size(), 2u);
    size_t with_junction = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
        EXPECT_EQ(parts.closed()[k], 0) << "edge " << k;
        with_junction += parts.starts_at_junction()[k] | parts.ends_at_junction()[k];
    }
    EXPECT_GE(with_junction, 2u);
}

TEST(Library, RunsOnTwoThreadsAtOnceGiveWhatTheProgramWrites)
{
    const std::string names[] = {"chelsea.pgm", "camera.pgm"};
    std::string program[2];
    for (int k = 0; k < 2; ++k) {
        const std::string out = scratch_directory() + "/out.list";
        const ProgramRun run = run_program({LINTRACE, "-i", DATA_DIR + "/" + names[k], "-o", out, "-s", "1.0", "-sp"});
        ASSERT_EQ(run.status, 0) << run.err;
        program[k] = read_file(out);
    }
    std::string library[2];
    std::vector<std::thread> runs;
    for (int k = 0; k < 2; ++k)
        runs.emplace_back([&, k] {
            const TestImage image = photograph(names[k]);
            library[k] = lintrace::trace(lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows),
                                         settings_of(static_cast<float>(1.0), static_cast<double>(1.4f),
                                                     static_cast<double>(2.0f), true, 2))
                             .list_text();
        });
    for (std::thread& run : runs) run.join();
    EXPECT_EQ(first_difference(library[0], program[0]), "");
    EXPECT_EQ(first_difference(library[1], program[1]), "");
}

TEST(Library, BadSettingsAndImagesAreExceptionsThatSayWhy)
{
    const std::vector<uint8_t> pixels(64, 9);
    const lintrace::ImageView good = lintrace::ImageView::grey8(pixels.data(), 8, 8);
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* says;
    };
    const auto with_sigma = [&](double sigma) {
        return [&good, sigma] { lintrace::trace(good, settings_of(sigma, 1, 2, false)); };
    };
    const auto with_view = [](lintrace::ImageView view) {
        return [view] { lintrace::trace(view, lintrace::Settings{}); };
    };
    lintrace::ImageView five_channels = good;
    five_channels.channels = 5;
    lintrace::ImageView negative = good;
    negative.width = -1;
    lintrace::ImageView short_rows = good;
    short_rows.row_stride = 7;
    lintrace::ImageView no_samples = good;
    no_samples.samples = nullptr;
    lintrace::ImageView zero_max = good;
    zero_max.type = lintrace::SampleType::UINT16;
    zero_max.max_value = 0;
    const Case invalid[] = {
        {"sigma 0", with_sigma(0), "positive finite"},
        {"sigma -1", with_sigma(-1), "positive finite"},
        {"sigma NaN", with_sigma(NAN), "positive finite"},
        {"sigma infinite", with_sigma(INFINITY), "positive finite"},
        {"sigma too large", with_sigma(1e9), "sigma 1e+09 is too large: its mask size does not fit an int"},
        {"sigma printed short", with_sigma(1e300), "sigma 1e+300 is too large: its mask size does not fit an int"},
        {"tiny sigma printed short", with_sigma(-1e-300), "sigma must be a positive finite number, not -1e-300"},
        {"negative threads", [&] { lintrace::trace(good, settings_of(1, 1, 2, false, -1)); }, "threads"},
        {"threads above the cap",
         [&] { lintrace::trace(good, settings_of(1, 1, 2, false, lintrace::MAX_THREADS + 1)); },
         "the number of threads must be at most 1024, not 1025"},
        {"a fraction printed short", [&] { lintrace::automatic_thresholds(good, lintrace::Settings{}, 1e300); },
         "the fraction must be above 0 and at most 1, not 1e+300"},
        {"five channels", with_view(five_channels), "channels"},
        {"negative width", with_view(negative), "negative"},
        {"rows shorter than their samples", with_view(short_rows), "stride"},
        {"no samples", with_view(no_samples), "without samples"},
        {"largest value 0", with_view(zero_max), "largest sample value"},
        {"offsets that go back", [] { lintrace::Edges::from_arrays(1, 1, false, {{0, 0}}, {0, 1, 0, 1}); }, "decrease"},
    };
    for (const Case& c : invalid) {
        try {
            c.call();
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
        }
    }
    lintrace::ImageView huge = good;
    huge.width = int64_t{INT_MAX} + 1;
    EXPECT_THROW(lintrace::trace(huge, lintrace::Settings{}), std::length_error);
    EXPECT_THROW(lintrace::trace(good, lintrace::Settings{}).edge(0), std::out_of_range);
}

TEST(Library, TheImageIsLetGoOnlyOnceItsSamplesAreReadForTheLastTime)
{
    // The callback spoils the samples: were they read after it, the edges
    // (and the gradient at their points) would change.
    const TestImage image = crop(photograph("chelsea.pgm"), 160, 120, 60, 40);
    for (bool gradient : {false, true}) {
        for (bool colour : {false, true}) {
            std::vector<uint8_t> samples;
            for (uint8_t v : image.pixels)
                for (int k = 0; k < (colour ? 3 : 1); ++k) samples.push_back(v);
            lintrace::ImageView view = lintrace::ImageView::grey8(samples.data(), image.columns, image.rows);
            view.channels = colour ? 3 : 1;
            lintrace::Settings settings = settings_of(1.0, 2.0, 4.0, true, 2);
            settings.gradient = gradient;
            const lintrace::Edges expected = lintrace::trace(view, settings);
            int calls = 0;
            const lintrace::Edges edges = lintrace::trace(view, settings, [&] {
                ++calls;
                std::fill(samples.begin(), samples.end(), static_cast<uint8_t>(calls * 77));
            });
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(first_difference(edges.list_text(), expected.list_text()), "") << gradient << colour;
            EXPECT_EQ(edges.magnitudes(), expected.magnitudes()) << gradient << colour;
        }
    }
}

TEST(Library, APieceThatCannotBeFormattedEndsTheWritingWithItsFailure)
{
    // A formatter on a helper thread that fails (memory exhausted) must end
    // the writing with its exception, not leave the writer waiting for the
    // piece; what was handed on is the text before that piece, at most.
    Schedule schedule;
    schedule.edges_per_piece = 1;
    std::string whole;
    for (size_t k = 0; k < 40; ++k) whole += std::to_string(k) + ",";
    for (int threads : {1, 3}) {
        for (size_t failing : {0, 7, 39}) {
            std::string written;
            EXPECT_THROW(write_in_pieces(
                             40,
                             [failing](size_t first, size_t, std::string* text) {
                                 if (first == failing) throw std::bad_alloc();
                                 *text = std::to_string(first) + ",";
                             },
                             [&written](std::string_view piece) { written += piece; }, threads, schedule),
                         std::bad_alloc);
            const std::string before = whole.substr(0, whole.find(std::to_string(failing) + ","));
            EXPECT_EQ(before.rfind(written, 0), 0u) << threads << " threads, failing at " << failing;
        }
    }
}

TEST(Library, AWriterWhoseSinkFailsPassesTheFailureOnAndStops)
{
    // Many small pieces formatted ahead on three threads: a sink that fails
    // on its second piece must end the writing with its own exception, not
    // leave the formatters waiting for a writer that is gone.
    const TestImage image = photograph("coffee.pgm");
    const lintrace::Edges edges =
        trace_small(lintrace::ImageView::grey8(image.pixels.data(), image.columns, image.rows),
                    settings_of(1.0, 1.4, 2.0, false, 3));
    for (int fail_at : {1, 2, 50}) {
        int pieces = 0;
        EXPECT_THROW(edges.write_list([&](std::string_view) {
            if (++pieces == fail_at) throw std::runtime_error("disk full");
        }),
                     std::runtime_error);
        EXPECT_EQ(pieces, fail_at) << "no piece is handed on after the failure";
    }
}
