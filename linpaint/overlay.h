// The edges of a connectivity list drawn over the photograph they were
// traced on: the photograph dimmed to grey, every painted pixel in one
// bright colour, as an RGB picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lintrace/image.h"
#include "imgformat.h"

struct RgbPicture {
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> samples;  // R, G, B a pixel, row after row
};

// The grey levels the detector traced (luma, alpha over white) at
// OVERLAY_DIMMING of their brightness, and OVERLAY_EDGE_COLOUR wherever
// `edges` (linpaint's image, of the photograph's size) is not black.
constexpr double OVERLAY_DIMMING = 0.5;
constexpr uint8_t OVERLAY_EDGE_COLOUR[3] = {255, 214, 0};  // yellow: brighter than any dimmed level
RgbPicture overlay_edges(const lintrace::Image& photograph, const PgmImage& edges);

class OutputFile;

// Writes the picture to an output made ready for `path`: a PNG where the path
// ends in .png, a raw PPM (its comment the path, as linpaint's PGM has it)
// otherwise. False, with `failure` saying why, when libpng refuses it.
bool write_rgb_picture(OutputFile* out, const char* path, const RgbPicture& picture, std::string* failure);
