// lintrace's long options, which stand among the switches: --format, --auto,
// --threads, --refine, --verbose, --in-place, --max-pixels and --page. They
// are taken out of the argument vector before the switch table reads the
// rest, so the table, its usage text and its messages stay as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"

enum class OutputFormat { LIST, SVG, GEOJSON, CSV };

struct LongOptions {
    bool verbose = false;
    int threads = 0;  // 0: every processor the process may use
    bool format_given = false;
    OutputFormat format = OutputFormat::LIST;
    bool automatic = false;  // --auto: thresholds from the image's own magnitudes
    double fraction = 0.7;   // of the pixels that do not exceed the high threshold
    bool refine = false;     // --refine: the sub-pixel points refined (needs -sp)
    bool in_place = false;   // --in-place: a target that cannot be replaced whole is written over
    uint64_t max_pixels = 0;  // --max-pixels: an image claiming more is refused (0: no limit)
    int page = 1;             // --page: the page of a multi-page TIFF, from 1
    std::string error;       // the first misuse of a long option, as its message
};

// Printed by --help after the usage text.
extern const char* const LONG_OPTIONS_HELP;

// The arguments without the long options, argv[0] first and a null pointer
// last. A long option is recognised only where a switch may stand, never in
// the place of a switch's value (-i --verbose reads the image "--verbose").
// --name VALUE and --name=VALUE are the same; --auto takes the next argument
// as its fraction only when it is a number.
std::vector<char*> take_long_options(int argc, char** argv, const SwitchEntry* table, LongOptions* options);

// --auto's thresholds as the single-precision numbers -lt and -ht hold, so
// that the switches printed replay the run exactly: the high one rounded up,
// to the smallest float not below it (which the same fraction of the
// magnitudes does not exceed, and no smaller float does), the low one the
// float nearest to 0.4 times that. False when the high one is beyond the
// floats' range.
bool single_precision_thresholds(double high, float* low_threshold, float* high_threshold);

// The format of the output: --format's where given, else the ending of the
// output's name (.svg, .geojson, .csv), else the connectivity list.
OutputFormat output_format(const LongOptions& options, const char* path);
const char* format_name(OutputFormat format);
