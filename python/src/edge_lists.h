// Connectivity lists for the Python module: a list file read into the arrays
// of lintrace::Edges, and a list drawn the way linpaint draws it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lintrace/lintrace.h"

struct ListArrays {
    std::vector<lintrace::Point> points;
    std::vector<int64_t> offsets{0};
    bool sub_pixel = false;  // the first number has one decimal, as a -sp list's do
};

// The float nearest v, as strtof rounds a number: beyond the largest float,
// halfway to 2^128 and more become infinity.
float nearest_float(double v);

// Reads a connectivity list as linpaint reads it: white-space separated
// numbers two at a time, the pair -1 -1 (in single precision, as linpaint
// compares it) closing an edge; an edge not closed at the end of the input is
// dropped, as is a lone number there. Positions keep the double nearest to
// the numbers as written. Throws std::invalid_argument naming `name` and the
// token when a token is not a number, std::system_error when the file cannot
// be read.
ListArrays read_list(std::FILE* file, const std::string& name);

// Draws the edges into a rows x columns image of bytes (row after row, all 0
// to start with) as linpaint draws their connectivity list: each position as
// the list writes it, read back in single precision; every edge of at least
// min_length points (and at least one) sets the pixels under its points to
// 255; a pixel is found by truncation toward zero, and points outside the
// image are skipped.
void paint_edges(const lintrace::Edges& edges, int64_t min_length, uint8_t* pixels, int64_t rows, int64_t columns);
