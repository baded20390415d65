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
    // The value is quoted as it was typed.
    const char* typed = args_typed_value(args, "s");
    if (!(sigma > 0) || !std::isfinite(sigma))
        std::fprintf(stderr, "ERROR:  sigma must be a positive finite number, not %s.\n", typed);
    else
        std::fprintf(stderr, "ERROR:  sigma %s is too large: its mask size does not fit an int.\n", typed);
    args_usage(argv, args);
    std::exit(-1);
}

// The list's file, made ready before the image is read: an output that
// cannot be created or replaced, or that is the input image itself (also
// through a link), is refused before any work.
OutputFile list_file;

void open_list(const char* path)
{
    if (!list_file.open(path, infile)) {
        std::fprintf(stderr, "ERROR, can't open file \"%s\" for \"w\": %s\n", path, list_file.reason().c_str());
        std::exit(-1);
    }
}

// Writes the list and puts it in place, ending the process with a message
// naming the file and the reason when that fails.
void write_list(const lintrace::Edges& edges, const char* path)
{
    edges.write_list([](std::string_view text) { list_file.write(text.data(), text.size()); });
    if (!list_file.commit()) {
        std::fprintf(stderr, "ERROR, can't write file \"%s\": %s\n", path, list_file.reason().c_str());
        std::exit(-1);
    }
}

int run()
{
    open_list(outfile);
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
