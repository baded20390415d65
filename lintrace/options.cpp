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

#include "lintrace/lintrace.h"

const char* const LONG_OPTIONS_HELP =
    "long options:\n"
    "\t[--format list|svg|geojson|csv]\n"
    "\t[--auto [<fraction>]]\n"
    "\t[--threads <int>]\n"
    "\t[--refine]\n"
    "\t[--verbose]\n"
    "\t[--in-place]\n"
    "\t[--max-pixels <int>]\n"
    "\t[--page <int>]\n"
    "where:\t\"format\" the format of the output (default: by the ending of the -o name, .svg, .geojson or .csv; "
    "else the connectivity list)\n"
    "\t\"auto\" choose the thresholds: high is the gradient magnitude that the fraction (default 0.7) of the "
    "pixels do not exceed, low is 0.4 times high\n"
    "\t\"threads\" the number of threads, at most 1024 (default: every processor the process may use)\n"
    "\t\"refine\" with -sp: move each sub-pixel point nearer the true edge, correcting the parabola's error by "
    "the gradient's angle and the maximum's shift on curves (the same edges, points and order)\n"
    "\t\"verbose\" tell on the standard error what the run reads, uses and finds\n"
    "\t\"in-place\" where the output cannot be replaced whole (a directory that may not be written, a file of "
    "several names), write over the file itself instead of refusing it: a run stopped while it writes leaves the "
    "file partly written\n"
    "\t\"max-pixels\" refuse an input image that claims more pixels than this, before reading its samples (for "
    "images from untrusted sources; default: no limit but memory)\n"
    "\t\"page\" the page of a multi-page TIFF to trace, from 1 (default 1)\n";

namespace {

// The formats by their names.
constexpr struct {
    std::string_view name;
    OutputFormat format;
} FORMATS[] = {{"list", OutputFormat::LIST},
               {"svg", OutputFormat::SVG},
               {"geojson", OutputFormat::GEOJSON},
               {"csv", OutputFormat::CSV}};

// A whole argument read as a number, with nothing left over.
bool whole_number(const char* text, double* value)
{
    if (text == nullptr || text[0] == '\0') return false;
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return *end == '\0';
}

bool ends_with(std::string_view text, std::string_view ending)
{
    return text.size() > ending.size() && text.substr(text.size() - ending.size()) == ending;
}

struct Taker {
    LongOptions* options;
    bool verbose_seen = false;
    bool threads_seen = false;
    bool format_seen = false;
    bool auto_seen = false;
    bool refine_seen = false;
    bool in_place_seen = false;
    bool max_pixels_seen = false;
    bool page_seen = false;

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
        for (const auto& f : FORMATS) {
            if (f.name == value) {
                options->format = f.format;
                options->format_given = true;
                return;
            }
        }
        fail(std::string("ERROR:  --format takes list, svg, geojson or csv, not '") + value + "'.\n");
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

bool single_precision_thresholds(double high, float* low_threshold, float* high_threshold)
{
    float rounded = static_cast<float>(high);
    if (static_cast<double>(rounded) < high) rounded = std::nextafter(rounded, INFINITY);
    if (!std::isfinite(rounded)) return false;
    *high_threshold = rounded;
    *low_threshold = static_cast<float>(0.4 * static_cast<double>(rounded));
    return true;
}

OutputFormat output_format(const LongOptions& options, const char* path)
{
    if (options.format_given) return options.format;
    const std::string_view name(path);
    if (ends_with(name, ".svg")) return OutputFormat::SVG;
    if (ends_with(name, ".geojson")) return OutputFormat::GEOJSON;
    if (ends_with(name, ".csv")) return OutputFormat::CSV;
    return OutputFormat::LIST;
}

const char* format_name(OutputFormat format)
{
    for (const auto& f : FORMATS)
        if (f.format == format) return f.name.data();
    return "list";
}
