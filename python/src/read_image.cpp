// Images read for the Python module: the programs' decoders on the file's
// bytes, the samples copied into packed rows.
#include "read_image.h"

#include <cmath>
#include <cstring>

#include "lintrace/image.h"

namespace {

// The double on the 0..1 scale that trace() makes the grey level `level`.
double unit_sample(double level)
{
    const double x = level / 255.0;
    if (x * 255.0 == level) return x;
    for (const double next : {std::nextafter(x, 0.0), std::nextafter(x, 2.0)})
        if (next * 255.0 == level) return next;
    return x;
}

}  // namespace

ReadImage read_image(const std::vector<char>& bytes, const std::string& name, const lintrace::ReadOptions& options)
{
    const lintrace::Image decoded = lintrace::read_image_bytes(bytes.data(), bytes.size(), name, options);
    ReadImage image;
    image.width = decoded.width;
    image.height = decoded.height;
    image.channels = decoded.channels;
    const size_t count = static_cast<size_t>(decoded.width) * decoded.height * decoded.channels;
    const bool full_scale = (decoded.type == lintrace::SampleType::UINT8 && decoded.max_value == 255) ||
                            (decoded.type == lintrace::SampleType::UINT16 && decoded.max_value == 65535);
    if (full_scale) {
        image.type = decoded.type;
        const size_t row_bytes = static_cast<size_t>(decoded.width) * decoded.channels *
                                 (decoded.type == lintrace::SampleType::UINT8 ? 1 : 2);
        image.samples.resize(row_bytes * decoded.height);
        for (int64_t r = 0; r < decoded.height; ++r)
            std::memcpy(image.samples.data() + r * row_bytes,
                        static_cast<const uint8_t*>(decoded.samples) + r * decoded.row_stride, row_bytes);
        return image;
    }
    // Another largest value (a PBM's 1, a PGM's 4095) or floating-point
    // samples: the grey level L the detector would make of each sample (v *
    // 255 / max_value in double, or the decoder's level), given on the 0..1
    // scale as the double x next to L / 255 that trace() scales back to L
    // (x * 255): L / 255 itself nearly always, else a neighbour.
    image.type = lintrace::SampleType::DOUBLE;
    image.samples.resize(count * sizeof(double));
    double* out = reinterpret_cast<double*>(image.samples.data());
    const bool levels = decoded.type == lintrace::SampleType::DOUBLE;
    for (int64_t y = 0; y < decoded.height; ++y)
        for (int64_t x = 0; x < decoded.width; ++x)
            for (int k = 0; k < decoded.channels; ++k) {
                const double level = levels ? decoded.sample(x, y, k) : decoded.sample(x, y, k) * 255.0 / decoded.max_value;
                *out++ = unit_sample(level);
            }
    return image;
}
