// lintrace's long options, which stand among the switches: --format, --auto,
// --threads, --refine, --verbose, the vector formats' --polygons,
// --simplify, --min-points, --precision and --pixel-coordinates, and
// --in-place, --max-pixels, --page, --stream and --progress. They are taken out of the argument
// vector before the switch table reads the rest, so the table, its usage
// text and its messages stay as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "lintrace/formats.h"

struct LongOptions {
    bool verbose = false;
    int threads = 0;  // 0: every processor the process may use
    const lintrace::Format* format = nullptr;  // --format's, else chosen by the output's name
    bool polygons = false;
    bool pixel_coordinates = false;  // pixels even where the image is georeferenced
    double simplify = 0;             // --simplify's tolerance; 0: none
    int64_t min_points = 0;          // --min-points
    int precision = -1;              // --precision; -1: every digit
    std::string vector_option;       // the first of the options that apply only to vector formats, as given
    bool automatic = false;  // --auto: thresholds from the image's own magnitudes
    double fraction = 0.7;   // of the pixels that do not exceed the high threshold
    bool refine = false;     // --refine: the sub-pixel points refined (needs -sp)
    bool in_place = false;   // --in-place: a target that cannot be replaced whole is written over
    uint64_t max_pixels = 0;  // --max-pixels: an image claiming more is refused (0: no limit)
    int page = 1;             // --page: the page of a multi-page TIFF, from 1
    bool stream = false;      // --stream: the image read and traced a band of rows at a time
    bool progress = false;    // --progress: how far the run has come, on the standard error
    std::string error;       // the first misuse of a long option, as its message
};

// Printed by --help after the usage text; its list of formats is the table's.
const char* long_options_help();

// The arguments without the long options, argv[0] first and a null pointer
// last. A long option is recognised only where a switch may stand, never in
// the place of a switch's value (-i --verbose reads the image "--verbose").
// --name VALUE and --name=VALUE are the same; --auto takes the next argument
// as its fraction only when it is a number.
std::vector<char*> take_long_options(int argc, char** argv, const SwitchEntry* table, LongOptions* options);


// The format of the output: --format's where given, else the one the ending
// of the output's name chooses (.svg, .geojson, .csv, .dxf), else the
// connectivity list.
const lintrace::Format& output_format(const LongOptions& options, const char* path);

// The options for the writer of `format`; the message of a misuse (an option
// of the vector formats with the list, --polygons with another format than
// GeoJSON) in *error.
lintrace::WriteOptions write_options(const LongOptions& options, const lintrace::Format& format, std::string* error);
