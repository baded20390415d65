// PNG output through libpng: 8-bit grey or RGB pictures, written as the
// PGM and PPM files are, to a temporary file put in place only when whole.
#pragma once

#include <cstdint>
#include <string>

#include "imgformat.h"

// Samples of a picture, row after row, `channels` (1 grey, 3 RGB) bytes a pixel.
struct PngPicture {
    const uint8_t* samples = nullptr;
    int64_t width = 0;
    int64_t height = 0;
    int channels = 1;
};

// Always 1: a file that cannot be opened or written ends the process
// through errmsg, and the previous content of the path is then left as it was.
int write_png_file(const char* path, const PngPicture& picture);
// The grey image of linpaint as a PNG.
int write_png_file(const char* path, const PgmImage* image);

// True when a path names a PNG file by its extension (.png in any case):
// the one place where an output's name, never an input's, chooses a format.
bool names_png(const std::string& path);
