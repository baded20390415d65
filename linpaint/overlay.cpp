// The overlay picture: photograph dimmed to grey, edges in colour.
#include "overlay.h"

#include <cmath>
#include <cstring>

#include "canvas.h"
#include "lintrace/lintrace.h"
#include "memory.h"
#include "outfile.h"
#include "pngout.h"

RgbPicture overlay_edges(const lintrace::Image& photograph, const PgmImage& edges)
{
    if (edges.columns != photograph.width || edges.rows != photograph.height)
        errmsg("The edge image and the photograph differ in size");
    RgbPicture picture;
    picture.width = photograph.width;
    picture.height = photograph.height;
    picture.samples.resize(static_cast<size_t>(picture.width * picture.height) * 3);
    const std::vector<double> levels = lintrace::grey_levels(photograph.view());
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

bool write_rgb_picture(OutputFile* out, const char* path, const RgbPicture& picture, std::string* failure)
{
    if (names_png(path)) return write_png(out, lintrace::Picture{picture.samples.data(), picture.width, picture.height, 3, nullptr}, failure);
    const std::string header = "P6\n# " + header_comment(path) + "\n" + std::to_string(picture.width) + " " +
                               std::to_string(picture.height) + "\n255\n";
    out->write(header.data(), header.size());
    out->write(picture.samples.data(), picture.samples.size());
    return true;
}
