// The gradient magnitude, hypot(gx, gy), bit for bit as the C library
// computes it. Its twin in the tests is the C library's std::hypot itself,
// which the tests compare it with on millions of operands.
#include <bit>
#include <cmath>
#include <cstdint>

#include "gradient.h"

// The magnitude is the C library's hypot, bit for bit. The C library's own
// call costs more than the rest of the gradient together, so its algorithm is
// written out here: the larger and the smaller absolute value, sqrt of the sum
// of squares, then one correction step (Borges, "An improved algorithm for
// hypot(a, b)", the variant without fused multiply-add that the library uses
// on this platform), with the same scaling for huge and tiny operands.
namespace {

constexpr double HYPOT_SCALE = 0x1p-600;
constexpr double HYPOT_LARGE = 0x1p+511;
constexpr double HYPOT_TINY = 0x1p-459;
constexpr double HYPOT_EPS = 0x1p-54;

// A NaN whose quiet bit is clear.
inline bool is_signaling(double v)
{
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    return (bits & 0x7ff0000000000000) == 0x7ff0000000000000 && (bits & 0x000fffffffffffff) != 0 &&
           (bits & 0x0008000000000000) == 0;
}

// ax >= ay >= 0, and squaring ax, ay and ax - ay neither overflows nor underflows.
inline double hypot_kernel(double ax, double ay)
{
    double h = std::sqrt(ax * ax + ay * ay);
    double t1;
    double t2;
    if (h <= 2.0 * ay) {
        const double delta = h - ay;
        t1 = ax * (2.0 * delta - ax);
        t2 = (delta - 2.0 * (ax - ay)) * delta;
    } else {
        const double delta = h - ax;
        t1 = 2.0 * delta * (ax - 2.0 * ay);
        t2 = (4.0 * delta - ay) * ay + delta * delta;
    }
    h -= (t1 + t2) / (2.0 * h);
    return h;
}

}  // namespace

double gradient_magnitude(double x, double y)
{
    if (!std::isfinite(x) || !std::isfinite(y)) {
        if ((std::isinf(x) || std::isinf(y)) && !is_signaling(x) && !is_signaling(y)) return INFINITY;
        return x + y;
    }
    x = std::fabs(x);
    y = std::fabs(y);
    double ax = x < y ? y : x;
    double ay = x < y ? x : y;
    if (ax > HYPOT_LARGE) {
        if (ay <= ax * HYPOT_EPS) return ax + ay;
        return hypot_kernel(ax * HYPOT_SCALE, ay * HYPOT_SCALE) / HYPOT_SCALE;
    }
    if (ay < HYPOT_TINY) {
        if (ax >= ay / HYPOT_EPS) return ax + ay;
        return hypot_kernel(ax / HYPOT_SCALE, ay / HYPOT_SCALE) * HYPOT_SCALE;
    }
    if (ay <= ax * HYPOT_EPS) return ax + ay;
    return hypot_kernel(ax, ay);
}
