// PNG files of the programs: the image library's PNG encoder writing to an
// output put in place only when whole, as the PGM and PPM files are.
#pragma once

#include <string>

#include "imgformat.h"
#include "lintrace/image.h"

class OutputFile;

// Writes the picture to an output made ready by the caller; false, with
// `failure` saying why, when libpng refuses it (the caller then discards the
// output). Exhausted memory is thrown as std::bad_alloc.
bool write_png(OutputFile* out, const lintrace::Picture& picture, std::string* failure);
// The grey image of linpaint as a PNG.
bool write_png(OutputFile* out, const PgmImage* image, std::string* failure);

// True when a path names a PNG file by its extension (.png in any case):
// the one place where an output's name, never an input's, chooses a format.
bool names_png(const std::string& path);
