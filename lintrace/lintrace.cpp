// lintrace: edge detection and linking of a raw PGM image.
//
// main reads the switches, derives the mask size from sigma, reads the image,
// runs the detector library on it and writes the connectivity list. The
// library reports failures as exceptions; main turns them into the program's
// messages and exit statuses.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "imgformat.h"
#include "lintrace/lintrace.h"
#include "memory.h"
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
    if (!(sigma > 0) || !std::isfinite(sigma))
        std::fprintf(stderr, "ERROR:  sigma must be a positive finite number, not %g.\n", sigma);
    else
        std::fprintf(stderr, "ERROR:  sigma %g is too large: its mask size does not fit an int.\n", sigma);
    args_usage(argv, args);
    std::exit(-1);
}

// Writes the list, ending the process with a message when the file cannot be
// opened or written.
void write_list(const lintrace::Edges& edges, const char* path)
{
    OutputFile out;
    if (!out.open(path)) {
        std::fprintf(stderr, "ERROR, can't open file \"%s\" for \"w\"\n", path);
        std::exit(-1);
    }
    edges.write_list([&out](std::string_view text) { out.write(text.data(), text.size()); });
    if (!out.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", path, std::strerror(errno));
        std::exit(-1);
    }
}

int run()
{
    PgmImage* image = read_pgm_file(infile);
    if (image == nullptr) return 1;
    lintrace::Settings settings;
    settings.sigma = sigma;
    settings.low_threshold = static_cast<double>(low_threshold);
    settings.high_threshold = static_cast<double>(high_threshold);
    settings.sub_pixel = Sub_pixel != 0;
    lintrace::ImageView view;
    view.width = image->columns;
    view.height = image->rows;
    std::vector<const void*> rows(static_cast<size_t>(image->rows));
    for (int r = 0; r < image->rows; ++r) rows[r] = image->pixels[r];
    view.row_pointers = rows.data();
    lintrace::Edges edges = lintrace::trace(view, settings);
    free_pgm_data(image);
    write_list(edges, outfile);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    args_program_version = PROGRAM_VERSION.c_str();
    args_parse(argc, argv, args);
    take_sigma_switch();
    derive_mask(argv);
    try {
        return run();
    } catch (const std::bad_alloc&) {
        errmsg("Memory allocation failure");
    } catch (const std::exception& failure) {
        errmsg(failure.what());
    }
}
