// The eight-lane (AVX-512) forms of the convolution's sums. This file alone is
// built for processors with AVX-512 (its sums are never fused: products and
// additions stay apart); it holds only these kernels, so nothing built for
// AVX-512 is ever shared with the rest.
#include "lanes.h"

#if defined(__AVX512F__)

int accumulate_avx512(double* out, const double* const* in, const double* w, int inputs, int first, int n)
{
    return accumulate_lanes<Avx512Lanes>(out, in, w, inputs, first, n);
}

int accumulate_bytes_avx512(double* out, const unsigned char* const* in, const double* w, int inputs, int first,
                            int n)
{
    return accumulate_bytes_lanes<Avx512Lanes>(out, in, w, inputs, first, n);
}

bool processor_has_avx512()
{
    static const bool has = __builtin_cpu_supports("avx512f");
    return has;
}

#else

int accumulate_avx512(double*, const double* const*, const double*, int, int first, int)
{
    return first;
}
int accumulate_bytes_avx512(double*, const unsigned char* const*, const double*, int, int first, int)
{
    return first;
}
bool processor_has_avx512()
{
    return false;
}

#endif
