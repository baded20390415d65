// Images read for the Python module through the programs' decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lintrace/image.h"
#include "lintrace/lintrace.h"

// An image's samples packed row after row, channels interleaved, in one of
// the forms a numpy array takes as it is: 8 or 16 bits at full scale
// (largest value 255 or 65535), or else doubles on the module's 0..1 scale
// of floating-point samples: for each grey level L the detector makes of a
// sample (v * 255 / max_value), the double x nearest L / 255 whose x * 255 is
// L again, so that tracing them gives what tracing the file gives.
struct ReadImage {
    int64_t width = 0;
    int64_t height = 0;
    int channels = 1;
    lintrace::SampleType type = lintrace::SampleType::UINT8;
    std::vector<uint8_t> samples;  // bytes of the samples, in the machine's order
};

// Decodes the bytes of an image file: netpbm, PNG, JPEG or TIFF, found by
// their first bytes. `name` stands for the file in messages. Throws the
// decoders' DecodeError (a std::runtime_error) naming the reason.
ReadImage read_image(const std::vector<char>& bytes, const std::string& name, const lintrace::ReadOptions& options);
