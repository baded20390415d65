// Fuzzing the raw PGM and PPM reader: any bytes, read as either kind of file.
// A file that reads must have the size its header claims and the samples the
// file holds; nothing may crash, hang or allocate beyond the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imgformat.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = scratch_file(data, size);

    if (PgmImage* grey = read_pgm_file(path.c_str())) {
        if (grey->columns <= 0 || grey->rows <= 0 || static_cast<size_t>(grey->columns) * grey->rows > size) std::abort();
        unsigned sum = 0;
        for (int r = 0; r < grey->rows; ++r)
            for (int c = 0; c < grey->columns; ++c) sum += grey->pixels[r][c];
        (void)sum;
        free_pgm_data(grey);
    }
    if (PpmImage* colour = read_ppm_file(path.c_str())) {
        if (colour->columns <= 0 || colour->rows <= 0 || 3u * colour->columns * colour->rows > size) std::abort();
        free_ppm_data(colour);
    }
    return 0;
}
