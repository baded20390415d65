// lintrace's long options: recognised where a switch may stand, taken out of
// the argument vector, checked, and their misuse kept for the program to
// report once the switches themselves have been read.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "lintrace/lintrace.h"

namespace {

// The names of the formats, "list|svg|..." or "list, svg, ... or dxf".
std::string format_names(std::string_view between, std::string_view before_last)
{
    std::string names;
    const auto table = lintrace::formats();
    for (size_t k = 0; k < table.size(); ++k) {
        if (k > 0) names += k + 1 == table.size() ? before_last : between;
        names += table[k].name;
    }
    return names;
}

// The endings that choose a format, ".svg, ... or .dxf".
std::string endings()
{
    std::vector<std::string_view> all;
    for (const lintrace::Format& format : lintrace::formats())
        for (std::string_view ending : format.endings) all.push_back(ending);
    std::string text;
    for (size_t k = 0; k < all.size(); ++k) {
        if (k > 0) text += k + 1 == all.size() ? " or " : ", ";
        text += all[k];
    }
    return text;
}

}  // namespace

const char* long_options_help()
{
    static const std::string help =
        "long options:\n"
        "\t[--format " + format_names("|", "|") + "]\n"
        "\t[--auto [<fraction>]]\n"
        "\t[--threads <int>]\n"
        "\t[--refine]\n"
        "\t[--verbose]\n"
        "\t[--simplify <tolerance>]\n"
        "\t[--min-points <int>]\n"
        "\t[--precision <digits>]\n"
        "\t[--polygons]\n"
        "\t[--pixel-coordinates]\n"
        "\t[--in-place]\n"
        "\t[--max-pixels <int>]\n"
        "\t[--page <int>]\n"
        "\t[--stream]\n"
        "\t[--progress]\n"
        "where:\t\"format\" the format of the output (default: by the ending of the -o name, " + endings() +
        "; else the connectivity list)\n"
        "\t\"auto\" choose the thresholds: high is the gradient magnitude that the fraction (default 0.7) of the "
        "pixels do not exceed, low is 0.4 times high\n"
        "\t\"threads\" the number of threads, at most 1024 (default: every processor the process may use)\n"
        "\t\"refine\" with -sp: move each sub-pixel point nearer the true edge, correcting the parabola's error by "
        "the gradient's angle and the maximum's shift on curves (the same edges, points and order)\n"
        "\t\"verbose\" tell on the standard error what the run reads, uses and finds\n"
        "\t\"simplify\" vector formats: simplify each edge, no point farther than the tolerance (pixels, or map "
        "units) from its line; junctions and closed edges kept\n"
        "\t\"min-points\" vector formats: leave out the edges of fewer points\n"
        "\t\"precision\" vector formats: at most this many digits (0 to 17) after the decimal point\n"
        "\t\"polygons\" GeoJSON: closed edges as Polygon features where their rings are simple\n"
        "\t\"pixel-coordinates\" vector formats: pixel positions even where the image is georeferenced\n"
        "\t\"in-place\" where the output cannot be replaced whole (a directory that may not be written, a file of "
        "several names), write over the file itself instead of refusing it: a run stopped while it writes leaves the "
        "file partly written\n"
        "\t\"max-pixels\" refuse an input image that claims more pixels than this, before reading its samples (for "
        "images from untrusted sources; default: no limit but memory)\n"
        "\t\"page\" the page of a multi-page TIFF to trace, from 1 (default 1)\n"
        "\t\"stream\" read and trace the image a band of rows at a time, for images larger than memory: the same "
        "edges, each with the same points, in the order of their groups (the row of a group's lowest point, then "
        "its first point); the connectivity list only\n"
        "\t\"progress\" tell on the standard error how far the run has come (with --stream; also when the standard "
        "error is a terminal)\n";
    return help.c_str();
}

namespace {

// A whole argument read as a number, with nothing left over.
bool whole_number(const char* text, double* value)
{
    if (text == nullptr || text[0] == '\0') return false;
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return *end == '\0';
}

struct Taker {
    LongOptions* options;
    bool verbose_seen = false;
    bool threads_seen = false;
    bool format_seen = false;
    bool auto_seen = false;
    bool refine_seen = false;
    bool polygons_seen = false;
    bool pixel_coordinates_seen = false;
    bool simplify_seen = false;
    bool min_points_seen = false;
    bool precision_seen = false;
    bool in_place_seen = false;
    bool max_pixels_seen = false;
    bool page_seen = false;
    bool stream_seen = false;
    bool progress_seen = false;

    void fail(const std::string& message)
    {
        if (options->error.empty()) options->error = message;
    }

    // Whether the option is met for the first time; a second time is a misuse.
    bool first_time(bool* seen, std::string_view name)
    {
        if (*seen) fail("ERROR:  --" + std::string(name) + " is given twice.\n");
        const bool first = !*seen;
        *seen = true;
        return first;
    }

    // A whole number from 1 up to `most`; 0 where the value is not one.
    static double count(const char* value, double most)
    {
        double n = 0;
        if (!whole_number(value, &n) || !(n >= 1 && n <= most) || n != std::floor(n)) return 0;
        return n;
    }

    void threads(const char* value)
    {
        const double n = count(value, INT_MAX);
        if (n == 0) {
            fail(std::string("ERROR:  --threads takes a whole number of threads from 1 up, not '") + value + "'.\n");
            return;
        }
        if (n > lintrace::MAX_THREADS) {
            fail("ERROR:  --threads takes at most " + std::to_string(lintrace::MAX_THREADS) + " threads, not '" +
                 value + "'.\n");
            return;
        }
        options->threads = static_cast<int>(n);
    }

    void max_pixels(const char* value)
    {
        // Up to 2^53, the whole numbers a double holds exactly.
        const double n = count(value, 9007199254740992.0);
        if (n == 0) {
            fail(std::string("ERROR:  --max-pixels takes a whole number of pixels from 1 up, not '") + value + "'.\n");
            return;
        }
        options->max_pixels = static_cast<uint64_t>(n);
    }

    void page(const char* value)
    {
        const double n = count(value, 65535);
        if (n == 0) {
            fail(std::string("ERROR:  --page takes a page number from 1 to 65535, not '") + value + "'.\n");
            return;
        }
        options->page = static_cast<int>(n);
    }

    void format(const char* value)
    {
        if (const lintrace::Format* format = lintrace::find_format(value)) {
            options->format = format;
            return;
        }
        fail(std::string("ERROR:  --format takes ") + format_names(", ", " or ") + ", not '" + value + "'.\n");
    }

    void simplify(const char* value)
    {
        double tolerance = 0;
        if (!whole_number(value, &tolerance) || !(tolerance >= 0) || !std::isfinite(tolerance)) {
            fail(std::string("ERROR:  --simplify takes a tolerance, a finite number from 0 up, not '") + value +
                 "'.\n");
            return;
        }
        options->simplify = tolerance;
    }

    void min_points(const char* value)
    {
        double n = 0;
        if (!whole_number(value, &n) || !(n >= 0 && n <= 0x1p62) || n != std::floor(n)) {
            fail(std::string("ERROR:  --min-points takes a whole number of points from 0 up, not '") + value +
                 "'.\n");
            return;
        }
        options->min_points = static_cast<int64_t>(n);
    }

    void precision(const char* value)
    {
        double n = 0;
        if (!whole_number(value, &n) || !(n >= 0 && n <= 17) || n != std::floor(n)) {
            fail(std::string("ERROR:  --precision takes a number of digits from 0 to 17, not '") + value + "'.\n");
            return;
        }
        options->precision = static_cast<int>(n);
    }

    void fraction(const char* value)
    {
        double f = 0;
        if (!whole_number(value, &f) || !(f > 0 && f <= 1)) {
            fail(std::string("ERROR:  the fraction of --auto must be a number above 0 and at most 1, not '") + value +
                 "'.\n");
            return;
        }
        options->fraction = f;
    }
};

}  // namespace

std::vector<char*> take_long_options(int argc, char** argv, const SwitchEntry* table, LongOptions* options)
{
    std::vector<char*> kept;
    kept.push_back(argc > 0 ? argv[0] : nullptr);
    Taker taker{options};
    int position = 1;
    for (; position < argc; ++position) {
        const char* argument = argv[position];
        if (args_keep_switch(table, argc, argv, &position, &kept)) continue;
        const std::string_view text(argument);
        if (text.substr(0, 2) != "--") break;  // not a switch of either kind: the table reports it
        const size_t equals = text.find('=');
        const std::string_view name =
            text.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
        const char* attached = equals == std::string_view::npos ? nullptr : argument + equals + 1;
        const bool has_next = position + 1 < argc;
        // The value of an option that needs one: attached, or the next argument.
        const auto value = [&](std::string_view option) -> const char* {
            if (attached != nullptr) return attached;
            if (!has_next) {
                taker.fail("ERROR:  --" + std::string(option) + " needs a value.\n");
                return nullptr;
            }
            return argv[++position];
        };
        if (name == "verbose") {
            taker.first_time(&taker.verbose_seen, name);
            if (attached != nullptr) taker.fail("ERROR:  --verbose takes no value.\n");
            options->verbose = true;
        } else if (name == "refine") {
            taker.first_time(&taker.refine_seen, name);
            if (attached != nullptr) taker.fail("ERROR:  --refine takes no value.\n");
            options->refine = true;
        } else if (name == "threads") {
            taker.first_time(&taker.threads_seen, name);
            if (const char* v = value(name)) taker.threads(v);
        } else if (name == "format") {
            taker.first_time(&taker.format_seen, name);
            if (const char* v = value(name)) taker.format(v);
        } else if (name == "simplify" || name == "min-points" || name == "precision") {
            taker.first_time(name == "simplify"    ? &taker.simplify_seen
                             : name == "precision" ? &taker.precision_seen
                                                   : &taker.min_points_seen,
                             name);
            if (options->vector_option.empty()) options->vector_option = "--" + std::string(name);
            if (const char* v = value(name)) {
                if (name == "simplify") taker.simplify(v);
                if (name == "min-points") taker.min_points(v);
                if (name == "precision") taker.precision(v);
            }
        } else if (name == "polygons" || name == "pixel-coordinates") {
            const bool polygons = name == "polygons";
            taker.first_time(polygons ? &taker.polygons_seen : &taker.pixel_coordinates_seen, name);
            if (attached != nullptr) taker.fail("ERROR:  --" + std::string(name) + " takes no value.\n");
            if (polygons) {
                options->polygons = true;
                if (options->vector_option.empty()) options->vector_option = "--polygons";
            } else {
                options->pixel_coordinates = true;
            }
        } else if (name == "stream" || name == "progress") {
            const bool stream = name == "stream";
            taker.first_time(stream ? &taker.stream_seen : &taker.progress_seen, name);
            if (attached != nullptr) taker.fail("ERROR:  --" + std::string(name) + " takes no value.\n");
            (stream ? options->stream : options->progress) = true;
        } else if (name == "in-place") {
            taker.first_time(&taker.in_place_seen, name);
            if (attached != nullptr) taker.fail("ERROR:  --in-place takes no value.\n");
            options->in_place = true;
        } else if (name == "max-pixels") {
            taker.first_time(&taker.max_pixels_seen, name);
            if (const char* v = value(name)) taker.max_pixels(v);
        } else if (name == "page") {
            taker.first_time(&taker.page_seen, name);
            if (const char* v = value(name)) taker.page(v);
        } else if (name == "auto") {
            taker.first_time(&taker.auto_seen, name);
            options->automatic = true;
            double ignored = 0;
            if (attached != nullptr)
                taker.fraction(attached);
            else if (has_next && whole_number(argv[position + 1], &ignored))
                taker.fraction(argv[++position]);
        } else {
            break;  // --help, --version, or not an option at all: the table's parsing decides
        }
    }
    for (; position < argc; ++position) kept.push_back(argv[position]);
    kept.push_back(nullptr);
    return kept;
}

const lintrace::Format& output_format(const LongOptions& options, const char* path)
{
    if (options.format != nullptr) return *options.format;
    if (const lintrace::Format* chosen = lintrace::format_for_path(path)) return *chosen;
    return *lintrace::find_format("list");
}

lintrace::WriteOptions write_options(const LongOptions& options, const lintrace::Format& format, std::string* error)
{
    lintrace::WriteOptions written;
    if (!format.vector && !options.vector_option.empty())
        *error = "ERROR:  " + options.vector_option + " applies to the vector formats, not to the " +
                 std::string(format.description) + ".\n";
    else if (options.polygons && format.name != "geojson")
        *error = "ERROR:  --polygons applies to GeoJSON, not to " + std::string(format.name) + ".\n";
    written.precision = options.precision;
    written.simplify = options.simplify;
    written.min_points = options.min_points;
    written.polygons = options.polygons;
    return written;
}
