// The tables of vector kernels. A table of a given width runs the widest
// lanes first and hands what they leave to the narrower ones, so all of a row
// but its last cell or so goes through vectors.
#include "kernels.h"

#include <algorithm>

#include "lanes.h"

namespace {

template <int W, typename T>
int accumulate(double* out, const T* const* in, const double* w, int inputs, int first, int n)
{
    int c = first;
    if constexpr (W >= 8) c = accumulate_avx512(out, in, w, inputs, c, n);
    if constexpr (W >= 4) c = accumulate_avx2(out, in, w, inputs, c, n);
#ifdef __SSE2__
    if constexpr (W >= 2) c = accumulate_lanes<Sse2Lanes>(out, in, w, inputs, c, n);
#endif
    return c;
}

template <int W>
int magnitudes(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first, int count)
{
    int c = first;
    if constexpr (W >= 8) c = magnitude_lanes_avx512(dx, dy, magnitude, needed, c, count);
    if constexpr (W >= 4) c = magnitude_lanes_avx2(dx, dy, magnitude, needed, c, count);
#ifdef __SSE2__
    if constexpr (W >= 2) c = magnitude_lanes<Sse2Lanes>(dx, dy, magnitude, needed, c, count);
#endif
    return c;
}

template <int W>
int reaching(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count)
{
    int c = first;
    if constexpr (W >= 8) c = reach_lanes_avx512(dx, dy, squared_low, bits, c, count);
    if constexpr (W >= 4) c = reach_lanes_avx2(dx, dy, squared_low, bits, c, count);
#ifdef __SSE2__
    if constexpr (W >= 2) c = reach_lanes<Sse2Lanes>(dx, dy, squared_low, bits, c, count);
#endif
    return c;
}

template <int W>
int maxima(double low, int first, int end, const double* above, const double* here, const double* below,
           const double* gx_row, const double* gy_row, int* passed, int* count)
{
    int i = first;
    if constexpr (W >= 8) i = maxima_row_avx512(low, i, end, above, here, below, gx_row, gy_row, passed, count);
    if constexpr (W >= 4) i = maxima_row_avx2(low, i, end, above, here, below, gx_row, gy_row, passed, count);
#ifdef __SSE2__
    if constexpr (W >= 2) i = maxima_row<Sse2Lanes>(low, i, end, above, here, below, gx_row, gy_row, passed, count);
#endif
    return i;
}

template <int W>
int localize(int j, const int* columns, int count, const double* above, const double* here, const double* below,
             const double* gx_row, const double* gy_row, double* sub_x, double* sub_y)
{
    int placed = 0;
    if constexpr (W >= 8)
        placed += localize_avx512(j, columns, count, above, here, below, gx_row, gy_row, sub_x, sub_y);
    if constexpr (W >= 4)
        placed += localize_avx2(j, columns + placed, count - placed, above, here, below, gx_row, gy_row,
                                sub_x + placed, sub_y + placed);
#ifdef __SSE2__
    if constexpr (W >= 2)
        placed += localize_lanes<Sse2Lanes>(j, columns + placed, count - placed, above, here, below, gx_row, gy_row,
                                            sub_x + placed, sub_y + placed);
#endif
    return placed;
}

template <int W>
constexpr VectorKernels table_of()
{
    return VectorKernels{W, accumulate<W, double>, accumulate<W, unsigned char>, magnitudes<W>, reaching<W>, maxima<W>,
                         localize<W>};
}

constexpr VectorKernels TABLES[] = {table_of<1>(), table_of<2>(), table_of<4>(), table_of<8>()};

// The widest lanes this processor has, found once.
int widest_width()
{
    static const int widest = processor_has_avx512() ? 8
                              : processor_has_avx2() ? 4
#ifdef __SSE2__
                                                     : 2;
#else
                                                     : 1;
#endif
    return widest;
}

}  // namespace

const VectorKernels& vector_kernels(int width)
{
    const int limit = width <= 0 ? widest_width() : std::min(width, widest_width());
    for (int k = 3; k > 0; --k)
        if (TABLES[k].width <= limit) return TABLES[k];
    return TABLES[0];
}
