// The image library: images of every format the programs read, from a path
// or from bytes in memory, with what the file says about them; and PNG
// output. The format is told by the file's first bytes, never by its name:
// the netpbm family (PBM, PGM, PPM in plain and raw form, PAM), PNG, JPEG and
// TIFF.
//
//     lintrace::Image image = lintrace::read_image("scene.tif");
//     lintrace::Edges edges = lintrace::trace(image.view(), settings);
//
// An image holds its samples as the file stores them (8-bit, 16-bit or, for
// floating-point TIFF, double grey levels already on the 0..255 scale) with
// the largest value they can take, interleaved grey, grey + alpha, RGB or
// RGBA: its view() is what the detector traces (see samples.h).
//
// The library knows nothing of the detector. It never prints, never ends the
// process and installs no signal handler: every failure is an ImageError
// whose message names the file, the format found and the reason. Sizes are
// checked against the memory limit and against the file before anything is
// allocated; a header's numbers are claims, not facts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lintrace/samples.h"

namespace lintrace {

// The georeferencing tags of a GeoTIFF, as stored (empty where absent).
struct GeoTiffTags {
    std::vector<double> pixel_scale;      // ModelPixelScaleTag: ScaleX, ScaleY, ScaleZ
    std::vector<double> tiepoints;        // ModelTiepointTag: I, J, K, X, Y, Z for each point
    std::vector<double> transformation;   // ModelTransformationTag: a 4 x 4 matrix, row after row
    std::vector<uint16_t> key_directory;  // GeoKeyDirectoryTag
    std::vector<double> double_params;    // GeoDoubleParamsTag
    std::string ascii_params;             // GeoAsciiParamsTag

    bool empty() const
    {
        return pixel_scale.empty() && tiepoints.empty() && transformation.empty() && key_directory.empty();
    }
};

// Pixels per unit across (x) and down (y), as the file states them.
struct Resolution {
    enum class Unit { NONE, INCH, CENTIMETRE, METRE };
    double x = 0;
    double y = 0;
    Unit unit = Unit::NONE;  // NONE: only the ratio of x to y is meant
};

// What a file says about its image besides the samples.
struct ImageMetadata {
    // The EXIF or TIFF orientation found (1 to 8). It is already applied:
    // the samples' first row is the top of the picture as viewers show it.
    int orientation = 1;
    int page = 0;        // the page read, counted from 0 (a TIFF's directory)
    int page_count = 1;  // the pages the file holds
    std::optional<Resolution> resolution;
    GeoTiffTags geotiff;  // a TIFF's; empty for other formats
};

struct Image {
    int64_t width = 0;
    int64_t height = 0;
    int channels = 1;  // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA, interleaved
    SampleType type = SampleType::UINT8;
    double max_value = 255;   // of UINT8 and UINT16 samples; DOUBLE samples are on 0..255
    const char* format = "";  // "PGM", "PPM", "PAM", "PBM", "PNG", "JPEG" or "TIFF"
    const void* samples = nullptr;
    int64_t row_stride = 0;  // bytes from a row to the next
    ImageMetadata metadata;

    ImageView view() const { return ImageView{samples, width, height, row_stride, type, channels, max_value, nullptr}; }
    // The sample of channel k at column x, row y, as stored.
    double sample(int64_t x, int64_t y, int k) const;

    std::shared_ptr<const void> storage;  // owns what samples points into
};

class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The input could not be opened: "Input file not found: PATH: the system's
// reason" where it does not exist; "Input file is a directory: PATH", "Input
// file could not be opened: PATH: the system's reason" (not permitted, too
// many open files) otherwise.
class ImageNotFound : public ImageError {
public:
    using ImageError::ImageError;
};

// The first words of the message for a file of no format read here.
extern const char* const UNKNOWN_FORMAT_MESSAGE;

struct ReadOptions {
    // No block larger than this many bytes is asked for (0: the machine's
    // physical memory); an image that would need one is refused.
    double memory_limit = 0;
    // Where set, the raster of a raw 8-bit PGM in a regular file may be
    // mapped rather than read: its rows are then the file's own pages, which
    // costs neither a copy nor fresh memory. Should the file shrink while it
    // is mapped, reading past its new end raises SIGBUS, which is the
    // caller's to handle: the guard is called with the mapping's bounds
    // before its first byte is read, and says whether it guards them (if
    // not, the raster is read instead); it is called again with an empty
    // range (begin, begin) once the mapping is gone.
    std::function<bool(const void* begin, const void* end)> mapping_guard;
    // An image whose header claims more pixels than this is refused before
    // its samples are read or allocated (0: no limit but memory_limit): set
    // it for images from untrusted sources.
    uint64_t max_pixels = 0;
    // The page to read, counted from 0 as ImageMetadata::page: a TIFF's
    // directory; every other format holds one picture, its page 0. (Messages
    // count pages from 1, as a user names them.)
    int page = 0;
};

// The most scans a progressive JPEG may have: real files have about ten (64
// coefficients in successive approximations of three colours stay far
// below); each scan costs a pass over the whole image, so a small file
// repeating a tiny scan could otherwise take minutes. libjpeg-turbo's djpeg
// has -maxscans for the same reason.
constexpr int MAX_JPEG_SCANS = 500;
// The most samples a TIFF pixel may have: the reader takes RGB and alpha at
// most (CMYK and alpha through libtiff's reader) and skips a few extra ones;
// a pixel of thousands of samples would only cost memory for what is never
// read.
constexpr int MAX_TIFF_SAMPLES_PER_PIXEL = 8;

// Reads the image at `path` ("-": the standard input stream). Throws
// ImageError (ImageNotFound where it cannot be opened) and std::bad_alloc.
Image read_image(const std::string& path, const ReadOptions& options = {});

// Reads an image held in memory; `name` stands for the file in messages. The
// bytes are copied where the image needs them after the call.
Image read_image_bytes(const void* data, size_t size, const std::string& name, const ReadOptions& options = {});

// An image file opened to be read a band of rows at a time, from the top,
// as the streaming detector reads it: the rows are those read_image gives,
// sample for sample, with the same type, channels, largest value and
// metadata, and no more of the file is held than its own layout needs at
// once: a strip or a row of tiles of a TIFF (BigTIFF too), a row of a
// non-interlaced PNG, a JPEG's rows as libjpeg delivers them, a netpbm
// file's rows. Where rows cannot come in order (an interlaced PNG, an
// orientation that turns the picture) the image is read whole, as
// read_image reads it, and its rows served from memory.
class ImageRows : public RowSource {
public:
    virtual const char* format() const = 0;
    virtual const ImageMetadata& metadata() const = 0;
    // True when rows come from the file as they are asked for; false when
    // the image was read whole.
    virtual bool streamed() const = 0;
};

// Opens `path` ("-": the standard input stream) for reading by rows. Throws
// as read_image does; the header is read (and checked) here, the samples as
// read() asks for them.
std::unique_ptr<ImageRows> open_image_rows(const std::string& path, const ReadOptions& options = {});

// The samples of the window of `width` x `height` pixels whose top left
// pixel is at column x, row y of the image at `path`, clipped to the image:
// what read_image gives there (metadata included), reading only the tiles or
// strips of a TIFF and the rows of a raw netpbm file that the window
// touches; other formats are decoded from the top to the window's last row.
// A window outside the image is refused with std::invalid_argument.
Image read_image_window(const std::string& path, int64_t x, int64_t y, int64_t width, int64_t height,
                        const ReadOptions& options = {});

// True when a block of `bytes` bytes may be asked of the machine: no more
// than its physical memory.
bool fits_in_memory(double bytes);

// Where an image lies in a map's coordinate system.
struct Georeferencing {
    // The affine transform in GDAL's order and convention: the map position
    // of the corner of pixel/line (P, L) is
    //   X = transform[0] + P transform[1] + L transform[2]
    //   Y = transform[3] + P transform[4] + L transform[5],
    // so the centre of the pixel at column x, row y (a point of lintrace's,
    // whose pixel centres lie at whole numbers) is at P = x + 0.5, L = y + 0.5.
    double transform[6] = {0, 1, 0, 0, 0, 1};
    int epsg = 0;          // the coordinate system's EPSG code; 0 where none is named
    std::string source;    // where it was found: "GeoTIFF tags" or the world file's path

    // The map position of a lintrace point (pixel centres at whole numbers).
    void map(double x, double y, double* map_x, double* map_y) const
    {
        const double p = x + 0.5, l = y + 0.5;
        *map_x = transform[0] + p * transform[1] + l * transform[2];
        *map_y = transform[3] + p * transform[4] + l * transform[5];
    }
};

// The georeferencing of the image read from `path`, as GDAL finds it: a
// GeoTIFF's own tags (ModelTransformation, or a tiepoint with the pixel
// scale; the GeoKey directory for the EPSG code of a projected or geographic
// coordinate system), else a world file beside the image (for scene.png:
// scene.pgw, scene.pngw or scene.wld, in lower or upper case), which names
// no coordinate system. Nothing where neither is there. Throws ImageError,
// naming the file and the reason, for tags or a world file that cannot be
// read as a transform, and for a GeoTIFF whose coordinate system cannot be
// named by an EPSG code (a user-defined one): coordinates are never written
// in a system that cannot be told.
std::optional<Georeferencing> georeferencing(const Image& image, const std::string& path);

// An 8-bit picture to write: `channels` (1 grey, 3 RGB) bytes a pixel, row
// after row, or a pointer per row where the rows lie apart.
struct Picture {
    const uint8_t* samples = nullptr;
    int64_t width = 0;
    int64_t height = 0;
    int channels = 1;
    const uint8_t* const* rows = nullptr;
};

// Writes the picture as PNG, handing its bytes to `sink` in order; the sink
// must not throw (a writer that fails keeps its failure for its caller).
// False, with `failure` saying why, when libpng refuses the picture.
// Exhausted memory is thrown as std::bad_alloc.
bool write_png(const Picture& picture, const std::function<void(const void*, size_t)>& sink, std::string* failure);

}  // namespace lintrace
