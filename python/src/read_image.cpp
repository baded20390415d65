// Images read for the Python module: the programs' decoders on the file's
// bytes, the samples copied into packed rows.
#include "read_image.h"

#include <cstring>

#include "lintrace/image.h"

ReadImage read_image(const std::vector<char>& bytes, const std::string& name)
{
    const lintrace::Image decoded = lintrace::read_image_bytes(bytes.data(), bytes.size(), name);
    ReadImage image;
    image.width = decoded.width;
    image.height = decoded.height;
    image.channels = decoded.channels;
    const size_t count = static_cast<size_t>(decoded.width) * decoded.height * decoded.channels;
    const bool full_scale = (decoded.type == lintrace::SampleType::UINT8 && decoded.max_value == 255) ||
                            (decoded.type == lintrace::SampleType::UINT16 && decoded.max_value == 65535);
    if (decoded.type == lintrace::SampleType::DOUBLE || full_scale) {
        image.type = decoded.type;
        const size_t row_bytes = static_cast<size_t>(decoded.width) * decoded.channels *
                                 (decoded.type == lintrace::SampleType::UINT8    ? 1
                                  : decoded.type == lintrace::SampleType::UINT16 ? 2
                                                                                 : sizeof(double));
        image.samples.resize(row_bytes * decoded.height);
        for (int64_t r = 0; r < decoded.height; ++r)
            std::memcpy(image.samples.data() + r * row_bytes,
                        static_cast<const uint8_t*>(decoded.samples) + r * decoded.row_stride, row_bytes);
        return image;
    }
    // Another largest value (a PBM's 1, a PGM's 4095): the grey levels the
    // detector would make of the samples, each v * 255 / max_value in double.
    image.type = lintrace::SampleType::DOUBLE;
    image.samples.resize(count * sizeof(double));
    double* out = reinterpret_cast<double*>(image.samples.data());
    for (int64_t y = 0; y < decoded.height; ++y)
        for (int64_t x = 0; x < decoded.width; ++x)
            for (int k = 0; k < decoded.channels; ++k)
                *out++ = decoded.sample(x, y, k) * 255.0 / decoded.max_value;
    return image;
}
