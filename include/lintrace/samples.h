// How an image's samples lie in memory: the one vocabulary that the image
// library (which makes images) and the detector (which traces them) share.
// Neither of the two knows the other; both know this.
//
// A sample v of an image whose largest value is max_value stands for the
// grey level v * 255 / max_value, computed in double and never rounded, so
// 8-bit samples with max_value 255 are traced as they are. Colour images (3
// or 4 channels: RGB, RGBA; 2: grey and alpha) are traced on their luma
// Y = 0.299 R + 0.587 G + 0.114 B, with alpha composited over white. Double
// samples are grey levels on the 0..255 scale already (max_value is ignored).
#pragma once

#include <cstdint>

namespace lintrace {

enum class SampleType { UINT8, UINT16, DOUBLE };

struct ImageView {
    const void* samples = nullptr;
    int64_t width = 0;        // columns
    int64_t height = 0;       // rows
    int64_t row_stride = 0;   // bytes from a row to the next; 0: rows are packed
    SampleType type = SampleType::UINT8;
    int channels = 1;         // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA, interleaved
    double max_value = 255;   // of UINT8 and UINT16 samples
    // Where the rows lie apart, a pointer per row instead of samples and row_stride.
    const void* const* row_pointers = nullptr;

    static ImageView grey8(const uint8_t* samples, int64_t width, int64_t height, int64_t row_stride = 0)
    {
        return ImageView{samples, width, height, row_stride, SampleType::UINT8, 1, 255, nullptr};
    }
};

// The bytes of one sample of a type.
constexpr int sample_bytes(SampleType type)
{
    return type == SampleType::UINT8 ? 1 : type == SampleType::UINT16 ? 2 : 8;
}

// An image read a band of rows at a time, from the top: what the streaming
// detector traces, so that no more of a large image than a few rows need be
// in memory. shape() describes the samples as an ImageView does, with
// neither samples nor row pointers; read() hands over the next rows.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual ImageView shape() const = 0;
    // Fills `rows` with the next `count` rows (no more than are left),
    // packed: width * channels samples of the shape's type each. Throws
    // (the image library's ImageError, naming the file and the reason) when
    // they cannot be read.
    virtual void read(int64_t count, void* rows) = 0;
};

}  // namespace lintrace
