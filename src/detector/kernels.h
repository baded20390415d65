// The vector kernels of the gradient and the maximum test, as one table per
// width of lanes, chosen once: the widest the processor has, or a narrower
// one asked for by name (the tests run every width). Every width gives the
// same bits; the table only decides how many pixels one instruction handles.
// Each kernel handles the cells it can fill whole vectors with, from `first`
// on, and returns the first it left (localize: how many it placed); the
// caller finishes the rest one cell at a time with the scalar code.
#pragma once

#include <cstdint>

struct VectorKernels {
    int width;  // doubles per lane group: 8 (AVX-512), 4 (AVX2), 2 (SSE2) or 1 (none)
    int (*accumulate_doubles)(double* out, const double* const* in, const double* w, int inputs, int first, int n);
    int (*accumulate_bytes)(double* out, const unsigned char* const* in, const double* w, int inputs, int first,
                            int n);
    int (*magnitudes)(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first,
                      int count);
    int (*reaching)(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count);
    int (*maxima)(double low, int first, int end, const double* above, const double* here, const double* below,
                  const double* gx_row, const double* gy_row, int* passed, int* count);
    int (*localize)(int j, const int* columns, int count, const double* above, const double* here,
                    const double* below, const double* gx_row, const double* gy_row, double* sub_x, double* sub_y);
};

// The kernels of at most `width` lanes (0: no limit), as wide as the
// processor allows.
const VectorKernels& vector_kernels(int width = 0);
