// Raw PGM ("P5") and PPM ("P6") image files.
//
// The reader takes the fixed header layout that every file written here has:
// the magic, comment lines beginning with '#', a line with the column and row
// counts, the maximum value, one white-space byte, then the raster. Samples of
// a file whose maximum value is above 255 take two bytes, most significant
// first, and are scaled to 0..255. Every header number is checked against the
// file before anything is allocated for the raster.
#pragma once

struct PgmImage {
    char magic[3];
    int columns;
    int rows;
    int max_value;
    unsigned char** pixels;  // rows x columns, from ucmatrix or mapped from the file read
};

struct PpmImage {
    char magic[3];
    int columns;
    int rows;
    int max_value;
    unsigned char** red;
    unsigned char** green;
    unsigned char** blue;
};

// Null, after a message on the standard error stream, when the file is not a
// raw image of the kind, its header is malformed or its raster is incomplete.
// A file that cannot be opened ends the process through errmsg. The path "-"
// is the standard input stream.
PgmImage* read_pgm_file(const char* path);
PpmImage* read_ppm_file(const char* path);

// Always 1: a file that cannot be opened or written ends the process through
// errmsg, and the previous content of the path is then left as it was.
int write_pgm_file(const char* path, PgmImage* image);
int write_ppm_file(const char* path, PpmImage* image);

void free_pgm_data(PgmImage* image);

// Takes a mapped input file's bytes [begin, end) under the guard that reads
// of the file's mapped rows have: should the file shrink, a read past its new
// end reports "Input file is truncated" and ends the process. False when it
// cannot be guarded (the caller then reads the file instead); an empty range
// at a guarded range's begin lets that range go. For the image library's
// ReadOptions::mapping_guard.
bool guard_mapped_input(const void* begin, const void* end);
void free_ppm_data(PpmImage* image);
