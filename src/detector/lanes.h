// Several pixels per instruction: the vector forms of the convolution's sums,
// the gradient magnitude, the maximum test and the sub-pixel position,
// written once over a set of lane operations and built for three widths: two
// doubles (SSE2, every x86-64 processor), four (AVX2) and eight (AVX-512),
// the last two each in a file of its own and used where the processor has them.
//
// Every lane undergoes exactly the IEEE operations the scalar code performs,
// in the same order; where the scalar code branches, both branches are
// computed and one is kept. Nothing is fused or reordered, so each lane's
// result is the scalar result to the last bit.
//
// Everything here has internal linkage, so that the copies built for
// different processors never stand in for one another.
#pragma once

double gradient_magnitude(double gx, double gy);

#if defined(__SSE2__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

struct Sse2Lanes {
    using reg = __m128d;
    static constexpr int width = 2;
    static reg load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, reg v) { _mm_storeu_pd(p, v); }
    static reg set1(double v) { return _mm_set1_pd(v); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm_div_pd(a, b); }
    static reg sqrt(reg a) { return _mm_sqrt_pd(a); }
    static reg max(reg a, reg b) { return _mm_max_pd(a, b); }
    static reg min(reg a, reg b) { return _mm_min_pd(a, b); }
    static reg bit_and(reg a, reg b) { return _mm_and_pd(a, b); }
    static reg and_not(reg a, reg b) { return _mm_andnot_pd(a, b); }  // ~a & b
    static reg bit_or(reg a, reg b) { return _mm_or_pd(a, b); }
    static reg bit_xor(reg a, reg b) { return _mm_xor_pd(a, b); }
    static reg pick(reg when, reg yes, reg no) { return _mm_or_pd(_mm_and_pd(when, yes), _mm_andnot_pd(when, no)); }
    static reg less(reg a, reg b) { return _mm_cmplt_pd(a, b); }
    static reg less_equal(reg a, reg b) { return _mm_cmple_pd(a, b); }
    static reg greater(reg a, reg b) { return _mm_cmpgt_pd(a, b); }
    static reg greater_equal(reg a, reg b) { return _mm_cmpge_pd(a, b); }
    static reg equal(reg a, reg b) { return _mm_cmpeq_pd(a, b); }
    static int mask(reg a) { return _mm_movemask_pd(a); }
    static reg load_bytes(const unsigned char* p) { return _mm_set_pd(p[1], p[0]); }
};

#if defined(__AVX2__)
struct Avx2Lanes {
    using reg = __m256d;
    static constexpr int width = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, reg v) { _mm256_storeu_pd(p, v); }
    static reg set1(double v) { return _mm256_set1_pd(v); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm256_div_pd(a, b); }
    static reg sqrt(reg a) { return _mm256_sqrt_pd(a); }
    static reg max(reg a, reg b) { return _mm256_max_pd(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_pd(a, b); }
    static reg bit_and(reg a, reg b) { return _mm256_and_pd(a, b); }
    static reg and_not(reg a, reg b) { return _mm256_andnot_pd(a, b); }
    static reg bit_or(reg a, reg b) { return _mm256_or_pd(a, b); }
    static reg bit_xor(reg a, reg b) { return _mm256_xor_pd(a, b); }
    static reg pick(reg when, reg yes, reg no) { return _mm256_blendv_pd(no, yes, when); }
    static reg less(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OS); }
    static reg less_equal(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LE_OS); }
    static reg greater(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_GT_OS); }
    static reg greater_equal(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_GE_OS); }
    static reg equal(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static int mask(reg a) { return _mm256_movemask_pd(a); }
    static reg load_bytes(const unsigned char* p)
    {
        int four;
        __builtin_memcpy(&four, p, sizeof four);
        return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four)));
    }
};
#endif

#if defined(__AVX512F__) && defined(__AVX512DQ__)
// Comparisons give lane masks, which are widened to whole lanes of ones, so
// that the kernels treat them as the narrower forms' comparisons.
struct Avx512Lanes {
    using reg = __m512d;
    static constexpr int width = 8;
    static reg load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, reg v) { _mm512_storeu_pd(p, v); }
    static reg set1(double v) { return _mm512_set1_pd(v); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm512_div_pd(a, b); }
    // The masked forms with every lane set, here and below: the plain ones
    // trip a false warning in GCC 12.
    static reg sqrt(reg a) { return _mm512_maskz_sqrt_pd(0xFF, a); }
    static reg max(reg a, reg b) { return _mm512_maskz_max_pd(0xFF, a, b); }
    static reg min(reg a, reg b) { return _mm512_maskz_min_pd(0xFF, a, b); }
    static reg bit_and(reg a, reg b) { return _mm512_and_pd(a, b); }
    static reg and_not(reg a, reg b) { return _mm512_andnot_pd(a, b); }
    static reg bit_or(reg a, reg b) { return _mm512_or_pd(a, b); }
    static reg bit_xor(reg a, reg b) { return _mm512_xor_pd(a, b); }
    static __mmask8 lanes_of(reg when) { return _mm512_movepi64_mask(_mm512_castpd_si512(when)); }
    static reg widen(__mmask8 lanes) { return _mm512_castsi512_pd(_mm512_movm_epi64(lanes)); }
    static reg pick(reg when, reg yes, reg no) { return _mm512_mask_blend_pd(lanes_of(when), no, yes); }
    static reg less(reg a, reg b) { return widen(_mm512_cmp_pd_mask(a, b, _CMP_LT_OS)); }
    static reg less_equal(reg a, reg b) { return widen(_mm512_cmp_pd_mask(a, b, _CMP_LE_OS)); }
    static reg greater(reg a, reg b) { return widen(_mm512_cmp_pd_mask(a, b, _CMP_GT_OS)); }
    static reg greater_equal(reg a, reg b) { return widen(_mm512_cmp_pd_mask(a, b, _CMP_GE_OS)); }
    static reg equal(reg a, reg b) { return widen(_mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ)); }
    static int mask(reg a) { return lanes_of(a); }
    static reg load_bytes(const unsigned char* p)
    {
        const __m256i eight = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        return _mm512_maskz_cvtepi32_pd(0xFF, eight);
    }
};
#endif

// The sums of the convolution: out[c] = ((0 + in[0][c] w[0]) + in[1][c] w[1])
// + ..., for cells first .. n - 1 as many as fill whole vectors; returns the
// first cell not done. A term to subtract is given a negated weight: acc - in w and
// acc + in (-w) are the same IEEE operation. Each cell is summed in registers
// over all inputs at once, so the rows are read once and written once; four
// vectors of cells are summed side by side, so that their additions overlap.
template <class L>
typename L::reg load_inputs(const double* p)
{
    return L::load(p);
}

// Grey values, each turned into a double first.
template <class L>
typename L::reg load_inputs(const unsigned char* p)
{
    return L::load_bytes(p);
}

// With K inputs known when it is compiled (K > 0), every weight and row stays
// in a register; K = 0 takes the count from `inputs`.
template <class L, typename T, int K>
int accumulate_rows(double* out, const T* const* in, const double* w, int inputs, int first, int n)
{
    using reg = typename L::reg;
    constexpr int W = L::width;
    const int count = K > 0 ? K : inputs;
    reg weights[K > 0 ? K : 1];
    const T* rows[K > 0 ? K : 1];
    for (int k = 0; k < K; ++k) {
        weights[k] = L::set1(w[k]);
        rows[k] = in[k];
    }
    const auto weight = [&](int k) {
        if constexpr (K > 0) return weights[k];
        return L::set1(w[k]);
    };
    const auto row = [&](int k) {
        if constexpr (K > 0) return rows[k];
        return in[k];
    };
    int c = first;
    for (; c + 4 * W <= n; c += 4 * W) {
        reg s0 = L::set1(0.0), s1 = s0, s2 = s0, s3 = s0;
        for (int k = 0; k < count; ++k) {
            const reg wk = weight(k);
            const T* r = row(k) + c;
            s0 = L::add(s0, L::mul(load_inputs<L>(r), wk));
            s1 = L::add(s1, L::mul(load_inputs<L>(r + W), wk));
            s2 = L::add(s2, L::mul(load_inputs<L>(r + 2 * W), wk));
            s3 = L::add(s3, L::mul(load_inputs<L>(r + 3 * W), wk));
        }
        L::store(out + c, s0);
        L::store(out + c + W, s1);
        L::store(out + c + 2 * W, s2);
        L::store(out + c + 3 * W, s3);
    }
    for (; c + L::width <= n; c += L::width) {
        reg sum = L::set1(0.0);
        for (int k = 0; k < count; ++k) sum = L::add(sum, L::mul(load_inputs<L>(row(k) + c), weight(k)));
        L::store(out + c, sum);
    }
    return c;
}

// The masks of sigma up to 2.3 or so (nine taps) have their own forms.
template <class L, typename T>
int accumulate_lanes(double* out, const T* const* in, const double* w, int inputs, int first, int n)
{
    switch (inputs) {
        case 2:
            return accumulate_rows<L, T, 2>(out, in, w, inputs, first, n);
        case 3:
            return accumulate_rows<L, T, 3>(out, in, w, inputs, first, n);
        case 4:
            return accumulate_rows<L, T, 4>(out, in, w, inputs, first, n);
        case 5:
            return accumulate_rows<L, T, 5>(out, in, w, inputs, first, n);
        case 6:
            return accumulate_rows<L, T, 6>(out, in, w, inputs, first, n);
        case 7:
            return accumulate_rows<L, T, 7>(out, in, w, inputs, first, n);
        case 8:
            return accumulate_rows<L, T, 8>(out, in, w, inputs, first, n);
        case 9:
            return accumulate_rows<L, T, 9>(out, in, w, inputs, first, n);
        default:
            return accumulate_rows<L, T, 0>(out, in, w, inputs, first, n);
    }
}

// The magnitude hypot(dx, dy) of cells first .. count - 1 (see
// gradient_magnitude), as many as fill whole vectors; returns the first cell
// not done. Where `needed` is given, a vector none of whose cells has its bit
// set there is set to zero instead (`first` is then a multiple of the width).
// Lanes take hypot's common path (the kernel, or ax + ay where ay is
// negligible or zero); max and min of the absolute values equal the scalar
// comparisons for every finite value. The rare lane with a huge, tiny or
// non-finite operand is done by the scalar function.
template <class L>
int magnitude_lanes(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first, int count)
{
    using reg = typename L::reg;
    const reg sign = L::set1(-0.0);
    const reg two = L::set1(2.0);
    const reg four = L::set1(4.0);
    const reg large = L::set1(0x1p+511);
    const reg tiny = L::set1(0x1p-459);
    const reg eps = L::set1(0x1p-54);
    const reg zero = L::set1(0.0);
    constexpr uint64_t lanes = (uint64_t{1} << L::width) - 1;
    int c = first;
    for (; c + L::width <= count; c += L::width) {
        if (needed != nullptr && ((needed[c / 64] >> (c % 64)) & lanes) == 0) {
            L::store(magnitude + c, zero);
            continue;
        }
        const reg x = L::and_not(sign, L::load(dx + c));
        const reg y = L::and_not(sign, L::load(dy + c));
        const reg ax = L::max(x, y);
        const reg ay = L::min(x, y);
        const reg h = L::sqrt(L::add(L::mul(ax, ax), L::mul(ay, ay)));
        const reg delta_y = L::sub(h, ay);
        const reg near_t1 = L::mul(ax, L::sub(L::mul(two, delta_y), ax));
        const reg near_t2 = L::mul(L::sub(delta_y, L::mul(two, L::sub(ax, ay))), delta_y);
        const reg delta_x = L::sub(h, ax);
        const reg far_t1 = L::mul(L::mul(two, delta_x), L::sub(ax, L::mul(two, ay)));
        const reg far_t2 = L::add(L::mul(L::sub(L::mul(four, delta_x), ay), ay), L::mul(delta_x, delta_x));
        const reg near = L::less_equal(h, L::mul(two, ay));
        const reg t1 = L::pick(near, near_t1, far_t1);
        const reg t2 = L::pick(near, near_t2, far_t2);
        const reg kernel = L::sub(h, L::div(L::add(t1, t2), L::mul(two, h)));
        const reg negligible = L::less_equal(ay, L::mul(ax, eps));
        L::store(magnitude + c, L::pick(negligible, L::add(ax, ay), kernel));
        const int finite_not_huge = L::mask(L::bit_and(L::less_equal(x, large), L::less_equal(y, large)));
        const int tiny_not_zero = L::mask(L::bit_and(L::greater(ay, zero), L::less(ay, tiny)));
        const int odd = (~finite_not_huge & ((1 << L::width) - 1)) | tiny_not_zero;
        if (odd != 0)
            for (int k = 0; k < L::width; ++k)
                if ((odd >> k) & 1) magnitude[c + k] = gradient_magnitude(dx[c + k], dy[c + k]);
    }
    return c;
}

// Sets, in `bits` (one bit per cell, 64 to a word), the cells first ..
// count - 1, as many as fill whole vectors, where dx dx + dy dy is not below
// `squared_low` (or is not a number); returns the first cell not done.
// `first` is a multiple of the width.
template <class L>
int reach_lanes(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count)
{
    using reg = typename L::reg;
    const reg bound = L::set1(squared_low);
    const auto reaching = [&bound, dx, dy](int c) {
        const reg x = L::load(dx + c);
        const reg y = L::load(dy + c);
        const reg squared = L::add(L::mul(x, x), L::mul(y, y));
        const uint64_t below = static_cast<uint64_t>(L::mask(L::less(squared, bound)));
        return (~below & ((uint64_t{1} << L::width) - 1)) << (c % 64);
    };
    int c = first;
    for (; c % 64 != 0 && c + L::width <= count; c += L::width) bits[c / 64] |= reaching(c);
    // Whole words are gathered in a register.
    for (; c + 64 <= count; c += 64) {
        uint64_t word = 0;
        for (int v = 0; v < 64; v += L::width) word |= reaching(c + v);
        bits[c / 64] |= word;
    }
    for (; c + L::width <= count; c += L::width) bits[c / 64] |= reaching(c);
    return c;
}

// A pixel's gradient and its neighbours' magnitudes, one pixel per lane.
template <class L>
struct Around {
    using reg = typename L::reg;
    reg m, gx, gy;
    reg left, right, up, up_left, up_right, down, down_left, down_right;
};

// The pixels i .. i + width - 1 of a row.
template <class L>
Around<L> around_row(int i, const double* above, const double* here, const double* below, const double* gx_row,
                     const double* gy_row)
{
    return Around<L>{L::load(here + i),      L::load(gx_row + i),    L::load(gy_row + i),    L::load(here + i - 1),
                     L::load(here + i + 1),  L::load(above + i),     L::load(above + i - 1), L::load(above + i + 1),
                     L::load(below + i),     L::load(below + i - 1), L::load(below + i + 1)};
}

// The slope, and the magnitudes interpolated one step backward and forward
// along the gradient (see suppress_pixel).
template <class L>
void along_gradient(const Around<L>& a, typename L::reg* slope_out, typename L::reg* backward_out,
                    typename L::reg* forward_out)
{
    using reg = typename L::reg;
    const reg zero = L::set1(0.0);
    const reg one = L::set1(1.0);
    const reg minus_one = L::set1(-1.0);
    const reg gx_zero = L::equal(a.gx, zero);
    const reg slope = L::and_not(gx_zero, L::div(a.gy, a.gx));
    const reg w = L::div(one, slope);

    // Each lane interpolates between the two neighbours of its branch with
    // the branch's weight t (the slope where it is shallow, w = 1 / slope
    // where it is steep): (1 + t) a - t b where the slope is negative,
    // (1 - t) a + t b where it is not. With u = -t for the first, both are
    // (1 - u) a + u b, the same operations, since 1 - (-t) is 1 + t and
    // adding (-t) b is subtracting t b.
    const reg negative = L::less(slope, zero);
    const reg shallow = L::pick(negative, L::greater(slope, minus_one), L::less(slope, one));
    const reg t = L::pick(shallow, slope, w);
    const reg u = L::pick(negative, L::bit_xor(t, L::set1(-0.0)), t);
    const reg one_minus_u = L::sub(one, u);
    // negative and shallow: -1 < slope < 0; negative and steep: slope <= -1;
    // shallow: 0 <= slope < 1; steep: slope >= 1.
    const reg forward_a = L::pick(shallow, a.right, L::pick(negative, a.up, a.down));
    const reg forward_b = L::pick(negative, a.up_right, a.down_right);
    const reg backward_a = L::pick(shallow, a.left, L::pick(negative, a.down, a.up));
    const reg backward_b = L::pick(negative, a.down_left, a.up_left);
    const reg forward = L::add(L::mul(one_minus_u, forward_a), L::mul(u, forward_b));
    const reg backward = L::add(L::mul(one_minus_u, backward_a), L::mul(u, backward_b));
    *slope_out = slope;
    *backward_out = L::pick(gx_zero, a.up, backward);
    *forward_out = L::pick(gx_zero, a.down, forward);
}

// The maximum test of suppression (see suppress_pixel) for the pixels
// i .. i + width - 1 of a row: bit k is set when pixel i + k reaches `low`
// and is a maximum along its gradient.
template <class L>
int maxima_lanes(double low, int i, const double* above, const double* here, const double* below, const double* gx_row,
                 const double* gy_row)
{
    using reg = typename L::reg;
    const reg m = L::load(here + i);
    const reg reaches_low = L::greater_equal(m, L::set1(low));
    if (L::mask(reaches_low) == 0) return 0;  // no lane reaches the low threshold
    reg slope, backward, forward;
    along_gradient<L>(around_row<L>(i, above, here, below, gx_row, gy_row), &slope, &backward, &forward);
    const reg keep = L::bit_and(reaches_low, L::bit_and(L::greater(m, forward), L::greater_equal(m, backward)));
    return L::mask(keep);
}

// The sub-pixel positions (see localize) of the candidates at columns
// columns[0 .. count - 1] of row j, as many as fill whole vectors, into
// sub_x and sub_y; returns how many were done.
template <class L>
int localize_lanes(int j, const int* columns, int count, const double* above, const double* here,
                   const double* below, const double* gx_row, const double* gy_row, double* sub_x, double* sub_y)
{
    using reg = typename L::reg;
    constexpr int W = L::width;
    const reg zero = L::set1(0.0);
    const reg one = L::set1(1.0);
    const reg two = L::set1(2.0);
    const reg sign = L::set1(-0.0);
    int k = 0;
    for (; k + W <= count; k += W) {
        // Each lane's values, gathered from its own column.
        double values[11][W];
        for (int lane = 0; lane < W; ++lane) {
            const int i = columns[k + lane];
            const double gathered[11] = {here[i],      gx_row[i],    gy_row[i],     here[i - 1],
                                         here[i + 1],  above[i],     above[i - 1],  above[i + 1],
                                         below[i],     below[i - 1], below[i + 1]};
            for (int v = 0; v < 11; ++v) values[v][lane] = gathered[v];
        }
        const Around<L> a{L::load(values[0]), L::load(values[1]), L::load(values[2]), L::load(values[3]),
                          L::load(values[4]), L::load(values[5]), L::load(values[6]), L::load(values[7]),
                          L::load(values[8]), L::load(values[9]), L::load(values[10])};
        reg slope, backward, forward;
        along_gradient<L>(a, &slope, &backward, &forward);

        const reg shallow = L::less(L::and_not(sign, slope), one);
        const reg square = L::mul(slope, slope);
        const reg d = L::pick(shallow, L::sqrt(L::add(one, square)), L::sqrt(L::add(one, L::div(one, square))));
        // The denominator formed again from the exact differences where the
        // sum rounded the curvature away, as in localize.
        const reg summed = L::mul(two, L::sub(L::add(forward, backward), L::mul(two, a.m)));
        const reg differenced = L::mul(two, L::add(L::sub(forward, a.m), L::sub(backward, a.m)));
        const reg denominator = L::pick(L::less(summed, zero), summed, differenced);
        const reg u = L::pick(L::less(denominator, zero), L::div(L::mul(d, L::sub(backward, forward)), denominator),
                              zero);
        const reg flip = L::bit_or(L::less(a.gx, zero), L::bit_and(L::equal(a.gx, zero), L::less(a.gy, zero)));
        const reg gx = L::pick(flip, L::bit_xor(a.gx, sign), a.gx);
        const reg gy = L::pick(flip, L::bit_xor(a.gy, sign), a.gy);
        double x[W];
        for (int lane = 0; lane < W; ++lane) x[lane] = columns[k + lane];
        L::store(sub_x + k, L::add(L::load(x), L::div(L::mul(u, gx), a.m)));
        L::store(sub_y + k, L::add(L::set1(j), L::div(L::mul(u, gy), a.m)));
    }
    return k;
}

// The maximum test for the pixels first .. end - 1 of a row, as many as fill
// whole vectors: the pixels that pass are appended to `passed` in order, from
// passed[*count] on, and *count is advanced past them. Returns the first
// pixel not tested.
template <class L>
int maxima_row(double low, int first, int end, const double* above, const double* here, const double* below,
               const double* gx_row, const double* gy_row, int* passed, int* count)
{
    // First the vectors with a lane that reaches `low`, then the whole test
    // of each of them: neither loop branches on the pixels, so the processor
    // can run many vectors' tests at once.
    thread_local std::vector<int> reaching;
    reaching.resize(static_cast<size_t>(std::max(end - first, 0) / L::width + 1));
    const typename L::reg low_lanes = L::set1(low);
    int i = first;
    int vectors = 0;
    for (; i + L::width <= end; i += L::width) {
        reaching[vectors] = i;
        vectors += L::mask(L::greater_equal(L::load(here + i), low_lanes)) != 0;
    }
    int n = *count;
    for (int k = 0; k < vectors; ++k) {
        const int at = reaching[k];
        const int bits = maxima_lanes<L>(low, at, above, here, below, gx_row, gy_row);
        for (int lane = 0; lane < L::width; ++lane) {
            passed[n] = at + lane;
            n += (bits >> lane) & 1;
        }
    }
    *count = n;
    return i;
}

}  // namespace

#endif

// The four-lane forms, in lanes_avx2.cpp; to be called only where the
// processor has AVX2.
bool processor_has_avx2();
bool processor_has_avx512();
// The eight-lane forms, in lanes_avx512.cpp; to be called only where the
// processor has AVX-512 (F and DQ).
int accumulate_avx512(double* out, const double* const* in, const double* w, int inputs, int first, int n);
int accumulate_avx512(double* out, const unsigned char* const* in, const double* w, int inputs, int first, int n);
int magnitude_lanes_avx512(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first,
                           int count);
int reach_lanes_avx512(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count);
int maxima_row_avx512(double low, int first, int end, const double* above, const double* here, const double* below,
                      const double* gx_row, const double* gy_row, int* passed, int* count);
int localize_avx512(int j, const int* columns, int count, const double* above, const double* here,
                    const double* below, const double* gx_row, const double* gy_row, double* sub_x, double* sub_y);
int accumulate_avx2(double* out, const double* const* in, const double* w, int inputs, int first, int n);
int accumulate_avx2(double* out, const unsigned char* const* in, const double* w, int inputs, int first, int n);
int magnitude_lanes_avx2(const double* dx, const double* dy, double* magnitude, const uint64_t* needed, int first,
                         int count);
int reach_lanes_avx2(const double* dx, const double* dy, double squared_low, uint64_t* bits, int first, int count);
int maxima_row_avx2(double low, int first, int end, const double* above, const double* here, const double* below,
                    const double* gx_row, const double* gy_row, int* passed, int* count);
int localize_avx2(int j, const int* columns, int count, const double* above, const double* here, const double* below,
                  const double* gx_row, const double* gy_row, double* sub_x, double* sub_y);
