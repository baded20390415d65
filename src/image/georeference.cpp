// Where an image lies on a map: the transform and coordinate system of a
// GeoTIFF's tags, or of a world file beside the image, read as GDAL reads
// them, so that a position found here is the one GDAL's tools give for the
// same pixel.
//
// GDAL's transforms are corner based (pixel/line (0, 0) is the upper-left
// corner of the first pixel); a world file's numbers are the centre of the
// first pixel's; a GeoTIFF marked PixelIsPoint ties its model to pixel
// centres, which GDAL turns into the corner convention by half a pixel.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lintrace/image.h"

namespace lintrace {

namespace {

// GeoKeys read (GeoTIFF 1.0, section 6.2).
constexpr uint16_t GT_MODEL_TYPE = 1024;
constexpr uint16_t GT_RASTER_TYPE = 1025;
constexpr uint16_t GEOGRAPHIC_TYPE = 2048;
constexpr uint16_t PROJECTED_CS_TYPE = 3072;
constexpr uint16_t MODEL_TYPE_PROJECTED = 1;
constexpr uint16_t MODEL_TYPE_GEOGRAPHIC = 2;
constexpr uint16_t RASTER_PIXEL_IS_POINT = 2;
constexpr uint16_t USER_DEFINED = 32767;

[[noreturn]] void refuse(const std::string& path, const std::string& reason)
{
    throw ImageError(path + ": " + reason);
}

// The value of a SHORT GeoKey stored in the directory itself, or 0.
uint16_t short_key(const std::vector<uint16_t>& directory, uint16_t key)
{
    if (directory.size() < 4) return 0;
    const size_t keys = directory[3];
    for (size_t k = 0; k < keys && 4 + 4 * k + 3 < directory.size(); ++k) {
        const uint16_t* entry = directory.data() + 4 + 4 * k;
        if (entry[0] == key && entry[1] == 0) return entry[3];
    }
    return 0;
}

bool transform_is_usable(const double t[6])
{
    for (int k = 0; k < 6; ++k)
        if (!std::isfinite(t[k])) return false;
    return t[1] * t[5] - t[2] * t[4] != 0;
}

std::optional<Georeferencing> from_geotiff(const GeoTiffTags& tags, const std::string& path)
{
    Georeferencing geo;
    geo.source = "GeoTIFF tags";
    double* t = geo.transform;
    if (tags.transformation.size() >= 16) {
        const std::vector<double>& m = tags.transformation;
        const double transform[6] = {m[3], m[0], m[1], m[7], m[4], m[5]};
        std::copy(transform, transform + 6, t);
    } else if (tags.tiepoints.size() >= 6 && tags.pixel_scale.size() >= 2) {
        const std::vector<double>& p = tags.tiepoints;
        const double sx = tags.pixel_scale[0], sy = tags.pixel_scale[1];
        const double transform[6] = {p[3] - p[0] * sx, sx, 0, p[4] + p[1] * sy, 0, -sy};
        std::copy(transform, transform + 6, t);
    } else if (!tags.tiepoints.empty()) {
        refuse(path, "GeoTIFF holds " + std::to_string(tags.tiepoints.size() / 6) +
                         " tiepoints without a pixel scale (ground control points), which are not read");
    } else if (!tags.pixel_scale.empty()) {
        refuse(path, "GeoTIFF has a pixel scale but no tiepoint to place it");
    } else {
        return std::nullopt;  // GeoKeys alone: a coordinate system, but no place in it
    }
    if (!transform_is_usable(t)) refuse(path, "GeoTIFF's transform is not finite or not invertible");
    const std::vector<uint16_t>& keys = tags.key_directory;
    if (short_key(keys, GT_RASTER_TYPE) == RASTER_PIXEL_IS_POINT) {
        t[0] -= t[1] * 0.5 + t[2] * 0.5;
        t[3] -= t[4] * 0.5 + t[5] * 0.5;
    }
    if (keys.empty()) return geo;  // placed, in a system the file does not name
    const uint16_t model = short_key(keys, GT_MODEL_TYPE);
    const uint16_t projected = short_key(keys, PROJECTED_CS_TYPE);
    const uint16_t geographic = short_key(keys, GEOGRAPHIC_TYPE);
    const uint16_t code = model == MODEL_TYPE_PROJECTED    ? projected
                          : model == MODEL_TYPE_GEOGRAPHIC ? geographic
                          : projected != 0                 ? projected
                                                           : geographic;
    if (code == 0 || code == USER_DEFINED)
        refuse(path, std::string("GeoTIFF's coordinate system cannot be named by an EPSG code (") +
                         (code == USER_DEFINED ? "it is user-defined" : "its GeoKeys name none") +
                         "); --pixel-coordinates writes pixel positions instead");
    geo.epsg = code;
    return geo;
}

bool is_file(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

// The world files GDAL looks for beside scene.EXT: scene.<first and last
// letters of EXT>w, scene.EXTw, scene.wld, each in lower and upper case.
std::vector<std::string> world_file_names(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) return {};
    const std::string base = path.substr(0, dot + 1);
    const std::string ending = path.substr(dot + 1);
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    auto upper = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string e = lower(ending);
    std::vector<std::string> names;
    for (const std::string& candidate : {std::string{e.front(), e.back(), 'w'}, e + "w", std::string("wld")}) {
        names.push_back(base + candidate);
        names.push_back(base + upper(candidate));
    }
    return names;
}

Georeferencing from_world_file(const std::string& name)
{
    FILE* file = std::fopen(name.c_str(), "r");
    if (file == nullptr) refuse(name, std::string("world file could not be opened: ") + std::strerror(errno));
    char text[4096];
    const size_t size = std::fread(text, 1, sizeof text - 1, file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) refuse(name, "world file could not be read");
    text[size] = '\0';
    // Six numbers: the pixel's size across (A), the row and column rotations
    // (D, B), its size down (E, negative for north up), and the map position
    // of the first pixel's centre (C, F).
    double v[6];
    const char* at = text;
    for (int k = 0; k < 6; ++k) {
        char* end = nullptr;
        v[k] = std::strtod(at, &end);
        if (end == at) refuse(name, "world file does not hold six numbers");
        at = end;
    }
    const double a = v[0], d = v[1], b = v[2], e = v[3], c = v[4], f = v[5];
    Georeferencing geo;
    geo.source = name;
    const double transform[6] = {c - 0.5 * a - 0.5 * b, a, b, f - 0.5 * d - 0.5 * e, d, e};
    std::copy(transform, transform + 6, geo.transform);
    if (!transform_is_usable(geo.transform)) refuse(name, "world file's transform is not finite or not invertible");
    return geo;
}

}  // namespace

std::optional<Georeferencing> georeferencing(const Image& image, const std::string& path)
{
    if (!image.metadata.geotiff.empty()) {
        std::optional<Georeferencing> geo = from_geotiff(image.metadata.geotiff, path);
        if (geo) return geo;
    }
    if (path == "-") return std::nullopt;
    for (const std::string& name : world_file_names(path))
        if (is_file(name)) return from_world_file(name);
    return std::nullopt;
}

}  // namespace lintrace
