// The four-lane (AVX2) forms of the vector kernels. This file alone is built
// for processors with AVX2 (and without fused multiply-add); it holds only
// these kernels, so
// nothing built for AVX2 is ever shared with the rest.
#include "lanes.h"

#if defined(__AVX2__)

int accumulate_avx2(double* out, const double* const* in, const double* w, int inputs, int first, int n)
{
    return accumulate_lanes<Avx2Lanes>(out, in, w, inputs, first, n);
}

int accumulate_avx2(double* out, const unsigned char* const* in, const double* w, int inputs, int first, int n)
{
    return accumulate_lanes<Avx2Lanes>(out, in, w, inputs, first, n);
}

int magnitude_lanes_avx2(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first,
                         int count)
{
    return magnitude_lanes<Avx2Lanes>(dx, dy, magnitude, needed, first, count);
}

int reach_lanes_avx2(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count)
{
    return reach_lanes<Avx2Lanes>(dx, dy, squared_low, bits, first, count);
}

int maxima_row_avx2(double low, int first, int end, const double* above, const double* here, const double* below,
                    const double* gx_row, const double* gy_row, int* passed, int* count)
{
    return maxima_row<Avx2Lanes>(low, first, end, above, here, below, gx_row, gy_row, passed, count);
}

int localize_avx2(int j, const int* columns, int count, const double* above, const double* here, const double* below,
                  const double* gx_row, const double* gy_row, double* sub_x, double* sub_y)
{
    return localize_lanes<Avx2Lanes>(j, columns, count, above, here, below, gx_row, gy_row, sub_x, sub_y);
}

bool processor_has_avx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#else

int accumulate_avx2(double*, const double* const*, const double*, int, int first, int)
{
    return first;
}
int accumulate_avx2(double*, const unsigned char* const*, const double*, int, int first, int)
{
    return first;
}
int magnitude_lanes_avx2(const double*, const double*, double*, const uint64_t*, int first, int)
{
    return first;
}
int reach_lanes_avx2(const double*, const double*, double, uint64_t*, int first, int)
{
    return first;
}
int maxima_row_avx2(double, int first, int, const double*, const double*, const double*, const double*, const double*,
                    int*, int*)
{
    return first;
}
int localize_avx2(int, const int*, int, const double*, const double*, const double*, const double*, const double*,
                  double*, double*)
{
    return 0;
}
bool processor_has_avx2()
{
    return false;
}

#endif
