// lintrace: edge detection and linking of an image.
//
// main reads the switches, derives the mask size from sigma, reads the image
// (of any format decode_image reads: netpbm, PNG, JPEG, TIFF), runs the
// detector library on it and writes the connectivity list, or the edges in a
// vector format. The library reports failures as exceptions; main turns them
// into the program's messages and exit statuses.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "args.h"
#include "imgformat.h"
#include "lintrace/formats.h"
#include "lintrace/image.h"
#include "lintrace/lintrace.h"
#include "lintrace/stream.h"
#include "memory.h"
#include "options.h"
#include "outfile.h"
#include "switches.h"

namespace {

const std::string PROGRAM_VERSION = std::string("lintrace ") + lintrace::VERSION;

// The convolution divides by sigma, so sigma must be positive and finite, and
// a mask that does not fit an int cannot be formed.
void derive_mask(char** argv)
{
    try {
        mask = lintrace::mask_size(sigma);
        return;
    } catch (const std::invalid_argument&) {
    }
    // The value is quoted as it was typed.
    const char* typed = args_typed_value(args, "s");
    if (!(sigma > 0) || !std::isfinite(sigma))
        std::fprintf(stderr, "ERROR:  sigma must be a positive finite number, not %s.\n", typed);
    else
        std::fprintf(stderr, "ERROR:  sigma %s is too large: its mask size does not fit an int.\n", typed);
    args_usage(argv, args);
    std::exit(-1);
}

// The output file, made ready once the image is read and before the work: an
// output that cannot be created or replaced, or that is the input image itself
// (also through a link), is refused before any work.
OutputFile out;

void open_output(const char* path, bool in_place)
{
    if (!out.open(path, infile, in_place)) {
        std::fprintf(stderr, "ERROR, can't open file \"%s\" for \"w\": %s\n", path, out.reason().c_str());
        std::exit(-1);
    }
}

// Writes the output and puts it in place, ending the process with a message
// naming the file and the reason when that fails.
void write_output(const lintrace::Edges& edges, const lintrace::Format& format,
                  const lintrace::WriteOptions& options, const char* path)
{
    lintrace::write(edges, format, options, [](std::string_view text) { out.write(text.data(), text.size()); });
    if (!out.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", path, out.reason().c_str());
        std::exit(-1);
    }
}

// The bytes of a pixel's samples.
int64_t pixel_bytes(const lintrace::ImageView& view)
{
    const int64_t sample = view.type == lintrace::SampleType::UINT8    ? 1
                           : view.type == lintrace::SampleType::UINT16 ? 2
                                                                       : 8;
    return sample * view.channels;
}

// The detector's settings, as the switches and long options give them.
lintrace::Settings settings_of(const LongOptions& options)
{
    lintrace::Settings settings;
    settings.sigma = sigma;
    settings.low_threshold = static_cast<double>(low_threshold);
    settings.high_threshold = static_cast<double>(high_threshold);
    settings.sub_pixel = Sub_pixel != 0;
    settings.refine = options.refine;
    settings.threads = options.threads;
    return settings;
}

// --auto: the library's thresholds, made the single-precision numbers -lt
// and -ht hold and printed so that the switches replay the run exactly.
void choose_thresholds(const lintrace::ImageView& view, lintrace::Settings* settings, double fraction)
{
    const lintrace::Thresholds chosen = lintrace::automatic_thresholds(view, *settings, fraction);
    if (!lintrace::single_precision_thresholds(chosen.high, &low_threshold, &high_threshold))
        throw std::range_error("the chosen high threshold is beyond single precision");
    settings->low_threshold = static_cast<double>(low_threshold);
    settings->high_threshold = static_cast<double>(high_threshold);
    std::fprintf(stderr, "lintrace: -lt %.9g -ht %.9g\n", static_cast<double>(low_threshold),
                 static_cast<double>(high_threshold));
}

int run(const LongOptions& options, const lintrace::Format& format, lintrace::WriteOptions write_options)
{
    const auto started = std::chrono::steady_clock::now();
    // The image first, as it always was (a missing image is reported before
    // anything about the output), then the output, before any work.
    lintrace::Image image;
    try {
        lintrace::ReadOptions reading;
        reading.mapping_guard = guard_mapped_input;
        reading.max_pixels = options.max_pixels;
        reading.page = options.page - 1;
        image = lintrace::read_image(infile, reading);
    } catch (const lintrace::ImageNotFound& failure) {
        errmsg(failure.what());
    } catch (const lintrace::ImageError& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    // A georeferenced image's vector outputs are in its map's coordinates,
    // unless pixels are asked for; what cannot be told is refused here,
    // before any work, rather than written in the wrong system.
    if (format.vector && !options.pixel_coordinates) {
        try {
            if (const std::optional<lintrace::Georeferencing> geo = lintrace::georeferencing(image, infile)) {
                lintrace::Georeference& to = write_options.georeference.emplace();
                std::copy(geo->transform, geo->transform + 6, to.transform.begin());
                to.epsg = geo->epsg;
                if (geo->epsg != 0) to.crs = "EPSG:" + std::to_string(geo->epsg);
                if (options.verbose)
                    std::fprintf(stderr, "lintrace: georeferenced by %s%s; coordinates in map units\n",
                                 geo->source.c_str(), to.crs.empty() ? "" : (", " + to.crs).c_str());
            }
        } catch (const lintrace::ImageError& failure) {
            std::fprintf(stderr, "%s\n", failure.what());
            return 1;
        }
    }
    open_output(outfile, options.in_place);
    lintrace::Settings settings = settings_of(options);
    const lintrace::ImageView view = image.view();
    if (options.verbose) {
        static const char* const layouts[] = {"", "grey", "grey and alpha", "RGB", "RGBA"};
        std::fprintf(stderr, "lintrace: input %s: %lld x %lld pixels, %s, %s, maximum value %g\n", infile,
                     static_cast<long long>(image.width), static_cast<long long>(image.height), image.format,
                     layouts[image.channels], image.type == lintrace::SampleType::DOUBLE ? 255.0 : image.max_value);
        if (image.metadata.page_count > 1)
            std::fprintf(stderr, "lintrace: input %s: page %d of %d (--page chooses another)\n", infile,
                         image.metadata.page + 1, image.metadata.page_count);
    }
    if (options.automatic) choose_thresholds(view, &settings, options.fraction);
    if (options.verbose)
        std::fprintf(stderr, "lintrace: settings: -s %.9g (mask %d) -lt %.9g -ht %.9g%s, %d threads; output %s: %s\n",
                     sigma, mask, settings.low_threshold, settings.high_threshold, settings.sub_pixel ? (settings.refine ? " -sp --refine" : " -sp") : "",
                     settings.threads != 0 ? settings.threads : lintrace::available_processors(), outfile,
                     format.name.data());
    // The image is let go as soon as its samples are read for the last time:
    // after the trace, or, where the format writes the gradient at the
    // points, after the writing, whose pieces compute it from the samples (a
    // magnitude per point would cost more than the image). An image of more
    // than 8 bytes a pixel gives way to its grey levels, the least the
    // gradient reads.
    write_options.settings = settings;
    std::vector<double> grey;
    lintrace::ImageView gradient_view = view;
    const bool keep_samples = format.writes_gradient && pixel_bytes(view) <= 8;
    lintrace::Edges edges = lintrace::trace(view, settings, [&] {
        if (format.writes_gradient && !keep_samples) {
            grey = lintrace::grey_levels(view);
            gradient_view = lintrace::ImageView{grey.data(), view.width, view.height, 0,
                                                lintrace::SampleType::DOUBLE, 1, 255, nullptr};
        }
        if (!keep_samples) image = lintrace::Image();
    });
    if (format.writes_gradient) write_options.image = &gradient_view;
    write_output(edges, format, write_options, outfile);
    image = lintrace::Image();
    if (options.verbose) {
        const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - started;
        std::fprintf(stderr, "lintrace: %zu edges, %zu points in %.3f s\n", edges.size(), edges.point_count(),
                     taken.count());
    }
    return 0;
}

// How far a streamed run has come, on the standard error: a line rewritten
// in place on a terminal, else a line every few seconds, and the last.
class ProgressLine {
public:
    explicit ProgressLine(bool terminal) : terminal_(terminal), started_(std::chrono::steady_clock::now()) {}
    void show(const lintrace::StreamProgress& progress, int64_t columns, bool last)
    {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - started_).count();
        if (!last && now - shown_ < std::chrono::milliseconds(terminal_ ? 200 : 5000)) return;
        shown_ = now;
        const double megapixels = static_cast<double>(progress.rows_read) * static_cast<double>(columns) / 1e6;
        std::fprintf(stderr, "%slintrace: rows %lld of %lld (%.1f%%), %llu edges, %.1f Mpx/s%s",
                     terminal_ ? "\r" : "", static_cast<long long>(progress.rows_read),
                     static_cast<long long>(progress.rows),
                     progress.rows > 0 ? 100.0 * static_cast<double>(progress.rows_read) / progress.rows : 100.0,
                     static_cast<unsigned long long>(progress.edges), seconds > 0 ? megapixels / seconds : 0.0,
                     terminal_ && !last ? "" : "\n");
        std::fflush(stderr);
    }

private:
    bool terminal_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point shown_{};
};

// --stream: the image read a band of rows at a time and each batch of edges
// written as it comes; only the rows a band needs and the open groups'
// candidates are held.
int run_stream(const LongOptions& options)
{
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<lintrace::ImageRows> rows;
    try {
        lintrace::ReadOptions reading;
        reading.max_pixels = options.max_pixels;
        reading.page = options.page - 1;
        rows = lintrace::open_image_rows(infile, reading);
    } catch (const lintrace::ImageNotFound& failure) {
        errmsg(failure.what());
    } catch (const lintrace::ImageError& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    open_output(outfile, options.in_place);
    lintrace::Settings settings = settings_of(options);
    const lintrace::ImageView shape = rows->shape();
    if (options.verbose) {
        static const char* const layouts[] = {"", "grey", "grey and alpha", "RGB", "RGBA"};
        std::fprintf(stderr, "lintrace: input %s: %lld x %lld pixels, %s, %s, maximum value %g, %s\n", infile,
                     static_cast<long long>(shape.width), static_cast<long long>(shape.height), rows->format(),
                     layouts[shape.channels], shape.type == lintrace::SampleType::DOUBLE ? 255.0 : shape.max_value,
                     rows->streamed() ? "read by rows" : "read whole (its rows cannot come in order)");
        std::fprintf(stderr, "lintrace: settings: -s %.9g (mask %d) -lt %.9g -ht %.9g%s, %d threads, streamed; output %s\n",
                     sigma, mask, settings.low_threshold, settings.high_threshold,
                     settings.sub_pixel ? (settings.refine ? " -sp --refine" : " -sp") : "",
                     settings.threads != 0 ? settings.threads : lintrace::available_processors(), outfile);
    }
    const bool terminal = isatty(STDERR_FILENO) != 0;
    ProgressLine line(terminal);
    const bool shows_progress = options.progress || terminal;
    uint64_t edges = 0, points = 0;
    // The batches are written by a thread of their own, one batch behind the
    // tracing, so that writing a band's list and linking the next overlap.
    std::mutex handing;
    std::condition_variable handed;
    std::optional<lintrace::Edges> waiting;
    bool finished = false;
    std::thread writer([&] {
        for (;;) {
            lintrace::Edges batch;
            {
                std::unique_lock<std::mutex> lock(handing);
                handed.wait(lock, [&] { return waiting.has_value() || finished; });
                if (!waiting) return;
                batch = std::move(*waiting);
                waiting.reset();
                handed.notify_all();
            }
            batch.write_list([](std::string_view text) { out.write(text.data(), text.size()); });
        }
    });
    const auto stop_writer = [&] {
        {
            std::unique_lock<std::mutex> lock(handing);
            handed.wait(lock, [&] { return !waiting.has_value(); });
            finished = true;
            handed.notify_all();
        }
        writer.join();
    };
    try {
        lintrace::trace_stream(
            *rows, settings,
            [&](lintrace::Edges&& batch) {
                edges += batch.size();
                points += batch.point_count();
                std::unique_lock<std::mutex> lock(handing);
                handed.wait(lock, [&] { return !waiting.has_value(); });
                waiting.emplace(std::move(batch));
                handed.notify_all();
            },
            [&](const lintrace::StreamProgress& progress) {
                if (shows_progress) line.show(progress, shape.width, progress.rows_read == progress.rows);
            });
        stop_writer();
    } catch (const lintrace::ImageError& failure) {
        stop_writer();
        out.discard();
        if (shows_progress && terminal) std::fputc('\n', stderr);
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    } catch (...) {
        stop_writer();
        out.discard();
        throw;
    }
    if (!out.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", outfile, out.reason().c_str());
        std::exit(-1);
    }
    if (options.verbose) {
        const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - started;
        std::fprintf(stderr, "lintrace: %llu edges, %llu points in %.3f s\n", static_cast<unsigned long long>(edges),
                     static_cast<unsigned long long>(points), taken.count());
    }
    return 0;
}

// A misuse of the long options, reported as a switch error is.
[[noreturn]] void long_option_error(char** argv, const std::string& message)
{
    std::fputs(message.c_str(), stderr);
    args_usage(argv, args);
    std::exit(-1);
}

}  // namespace

int main(int argc, char** argv)
{
    args_program_version = PROGRAM_VERSION.c_str();
    args_help_epilogue = long_options_help();
    LongOptions options;
    std::vector<char*> arguments = take_long_options(argc, argv, args, &options);
    args_parse(static_cast<int>(arguments.size()) - 1, arguments.data(), args);
    if (!options.error.empty()) long_option_error(argv, options.error);
    for (const char* given : {"lt", "ht"})
        if (options.automatic && args_found_arg(args, given))
            long_option_error(
                argv, std::string("ERROR:  --auto chooses the thresholds: it cannot be given with -") + given + ".\n");
    // Refinement moves the sub-pixel points, so a run without them is refused
    // rather than quietly left as it is.
    if (options.refine && Sub_pixel == 0)
        long_option_error(argv, "ERROR:  --refine moves the sub-pixel points: it needs -sp.\n");
    if (options.stream && options.automatic)
        long_option_error(argv, "ERROR:  --auto needs the whole image's gradient before its first edge: it cannot be "
                                "given with --stream.\n");
    if (options.progress && !options.stream)
        long_option_error(argv, "ERROR:  --progress tells how a --stream run goes: it needs --stream.\n");
    take_sigma_switch();
    derive_mask(argv);
    try {
        const lintrace::Format& format = output_format(options, outfile);
        std::string misuse;
        const lintrace::WriteOptions write_options = ::write_options(options, format, &misuse);
        if (!misuse.empty()) long_option_error(argv, misuse);
        if (options.stream && format.vector)
            long_option_error(argv, "ERROR:  --stream writes the connectivity list only, not " +
                                        std::string(format.name) + ".\n");
        if (options.stream) return run_stream(options);
        return run(options, format, write_options);
    } catch (const std::bad_alloc&) {
        errmsg("Memory allocation failure");
    } catch (const std::exception& failure) {
        errmsg(failure.what());
    }
}
