// The overlay picture: photograph dimmed to grey, edges in colour.
#include "overlay.h"

#include <cmath>
#include <cstring>

#include "memory.h"
#include "pngwrite.h"

RgbPicture overlay_edges(const DecodedImage& photograph, const PgmImage& edges)
{
    if (edges.columns != photograph.width || edges.rows != photograph.height)
        errmsg("The edge image and the photograph differ in size");
    RgbPicture picture;
    picture.width = photograph.width;
    picture.height = photograph.height;
    picture.samples.resize(static_cast<size_t>(picture.width * picture.height) * 3);
    const std::vector<double> levels = grey_levels(photograph);
    uint8_t* out = picture.samples.data();
    size_t k = 0;
    for (int r = 0; r < edges.rows; ++r)
        for (int c = 0; c < edges.columns; ++c, ++k, out += 3) {
            if (edges.pixels[r][c] != 0) {
                std::memcpy(out, OVERLAY_EDGE_COLOUR, 3);
                continue;
            }
            // Levels of the 0..255 scale, clamped for floating-point images that leave it.
            const double level = std::fmin(std::fmax(levels[k], 0.0), 255.0);
            out[0] = out[1] = out[2] = static_cast<uint8_t>(std::lround(level * OVERLAY_DIMMING));
        }
    return picture;
}

void write_rgb_picture(const char* path, const RgbPicture& picture)
{
    if (names_png(path)) {
        write_png_file(path, PngPicture{picture.samples.data(), picture.width, picture.height, 3});
        return;
    }
    if (picture.width > 0x7fffffff || picture.height > 0x7fffffff) errmsg("Output file write failed: image too large");
    const int columns = static_cast<int>(picture.width);
    const int rows = static_cast<int>(picture.height);
    PpmImage* ppm = static_cast<PpmImage*>(checked_calloc(1, sizeof(PpmImage)));
    std::memcpy(ppm->magic, "P6", 3);
    ppm->columns = columns;
    ppm->rows = rows;
    ppm->max_value = 255;
    ppm->red = ucmatrix(rows, columns);
    ppm->green = ucmatrix(rows, columns);
    ppm->blue = ucmatrix(rows, columns);
    const uint8_t* in = picture.samples.data();
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c, in += 3) {
            ppm->red[r][c] = in[0];
            ppm->green[r][c] = in[1];
            ppm->blue[r][c] = in[2];
        }
    write_ppm_file(path, ppm);
    free_ppm_data(ppm);
}
