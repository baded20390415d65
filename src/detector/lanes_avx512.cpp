// The eight-lane (AVX-512) forms of the vector kernels. This file alone is
// built for processors with AVX-512 (whose products and sums are never fused:
// -ffp-contract=off keeps them apart); it holds only these kernels, so
// nothing built for AVX-512 is ever shared with the rest.
#include "lanes.h"

#if defined(__AVX512F__) && defined(__AVX512DQ__)

int accumulate_avx512(double* out, const double* const* in, const double* w, int inputs, int first, int n)
{
    return accumulate_lanes<Avx512Lanes>(out, in, w, inputs, first, n);
}

int accumulate_avx512(double* out, const unsigned char* const* in, const double* w, int inputs, int first, int n)
{
    return accumulate_lanes<Avx512Lanes>(out, in, w, inputs, first, n);
}

int magnitude_lanes_avx512(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first,
                           int count)
{
    return magnitude_lanes<Avx512Lanes>(dx, dy, magnitude, needed, first, count);
}

int reach_lanes_avx512(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count)
{
    return reach_lanes<Avx512Lanes>(dx, dy, squared_low, bits, first, count);
}

int maxima_row_avx512(double low, int first, int end, const double* above, const double* here, const double* below,
                      const double* gx_row, const double* gy_row, int* passed, int* count)
{
    return maxima_row<Avx512Lanes>(low, first, end, above, here, below, gx_row, gy_row, passed, count);
}

int localize_avx512(int j, const int* columns, int count, const double* above, const double* here,
                    const double* below, const double* gx_row, const double* gy_row, double* sub_x, double* sub_y)
{
    return localize_lanes<Avx512Lanes>(j, columns, count, above, here, below, gx_row, gy_row, sub_x, sub_y);
}

bool processor_has_avx512()
{
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return has;
}

#else

int accumulate_avx512(double*, const double* const*, const double*, int, int first, int)
{
    return first;
}
int accumulate_avx512(double*, const unsigned char* const*, const double*, int, int first, int)
{
    return first;
}
int magnitude_lanes_avx512(const double*, const double*, double*, const uint64_t*, int first, int)
{
    return first;
}
int reach_lanes_avx512(const double*, const double*, double, uint64_t*, int first, int)
{
    return first;
}
int maxima_row_avx512(double, int first, int, const double*, const double*, const double*, const double*,
                      const double*, int*, int*)
{
    return first;
}
int localize_avx512(int, const int*, int, const double*, const double*, const double*, const double*, const double*,
                    double*, double*)
{
    return 0;
}
bool processor_has_avx512()
{
    return false;
}

#endif
