// lintrace: edge detection and linking of a raw PGM image.
//
// main reads the switches, derives the mask size from sigma, reads the image
// and runs canny, which takes the image through the detector's stages in
// order: gradient and non-maximum suppression with sub-pixel placement,
// hysteresis linking with junctions, and the connectivity list.
#include <sched.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "args.h"
#include "detector.h"
#include "imgformat.h"
#include "memory.h"
#include "outfile.h"
#include "settings.h"

PgmImage* pgmimage = nullptr;

namespace {

Detector detector;

// The convolution divides by sigma, so sigma must be positive and finite, and
// a mask that does not fit an int cannot be formed.
void derive_mask(char** argv)
{
    if (mask_for_sigma(sigma, &mask)) return;
    // The value is quoted as it was typed.
    const char* typed = args_typed_value(args, "s");
    if (!(sigma > 0) || !std::isfinite(sigma))
        std::fprintf(stderr, "ERROR:  sigma must be a positive finite number, not %s.\n", typed);
    else
        std::fprintf(stderr, "ERROR:  sigma %s is too large: its mask size does not fit an int.\n", typed);
    args_usage(argv, args);
    std::exit(-1);
}

// One thread per processor this process may run on (so that taskset and
// container limits are respected), at most eight.
int worker_threads()
{
    cpu_set_t allowed;
    int cores = 0;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
    if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
    return cores <= 0 ? 1 : cores < 8 ? cores : 8;
}

// Opened before the image is read, so that an output that cannot be made or
// would replace the input is refused before any work.
OutputFile list_file;

void canny()
{
    // The gradient is computed band by band as suppression consumes it, so
    // the derivative images never exist whole.
    local_extrema(&detector, pgmimage->pixels, mask, sigma, static_cast<double>(low_threshold),
                  static_cast<double>(high_threshold), Sub_pixel != 0, worker_threads());
    free_pgm_data(pgmimage);
    pgmimage = nullptr;
    release_edgel_records(&detector.edgels);
    join_edges(&detector, worker_threads());
    write_file(&detector, &list_file, outfile, Sub_pixel != 0, worker_threads());
}

}  // namespace

int main(int argc, char** argv)
{
    fail_stop_on_exhausted_heap();
    args_program_version = "lintrace 1.0.0";
    args_parse(argc, argv, args);
    take_sigma_switch();
    derive_mask(argv);

    if (!list_file.open(outfile, infile)) {
        report_unopened_list(outfile, list_file);
        std::exit(-1);
    }
    pgmimage = read_pgm_file(infile);
    if (pgmimage == nullptr) return 1;
    detector.XSIZE = pgmimage->columns;
    detector.YSIZE = pgmimage->rows;
    detector.keep_edgel_records = false;  // linking and writing find the candidates by position
    canny();
    return 0;
}
