// The exact von Kármán shape x^(5/6) K_5/6(x): its scalar instance, the reference for every vector lane.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "zam/von_karman_shape_coefficients.hpp"

namespace zam {

namespace von_karman_scalar {

// The vector primitives of zam/von_karman_shape.inl on one double.
#define ZAM_TARGET
using V = double;
using M = bool;

inline V vset(double v) {
    return v;
}
inline V vadd(V a, V b) {
    return a + b;
}
inline V vsub(V a, V b) {
    return a - b;
}
inline V vmul(V a, V b) {
    return a * b;
}
inline V vdiv(V a, V b) {
    return a / b;
}
inline V vsqrt(V a) {
    return std::sqrt(a);
}
// As the vector instructions: the second operand wins when either is not a number.
inline V vmin(V a, V b) {
    return a < b ? a : b;
}
inline V vmax(V a, V b) {
    return a > b ? a : b;
}
inline V vexp(V a) {
    return std::exp(a);
}
inline M vless(V a, V b) {
    return a < b;
}
inline bool all_lanes(M m) {
    return m;
}
inline bool no_lanes(M m) {
    return !m;
}
inline V vblend(M m, V set, V clear) {
    return m ? set : clear;
}
inline V root_seed(V s) {
    namespace c = von_karman_shape_coefficients;
    const std::uint64_t high = std::bit_cast<std::uint64_t>(s) >> 32;
    return std::bit_cast<double>((c::seed_constant - ((high * c::seed_divisor) >> 32)) << 32);
}

#include "zam/von_karman_shape.inl"
#undef ZAM_TARGET

}  // namespace von_karman_scalar

/// x^(5/6) K_5/6(x) at x = sqrt(s), s ≥ 0 the squared argument: relative error within 1e-13 for
/// x ≤ 50 and absolute error within 1e-16 beyond; g(0) = 2^(-1/6) Γ(5/6) to the nearest double;
/// +inf and not a number give not a number. Every vector level computes the same bits.
inline double von_karman_shape(double s) {
    return von_karman_scalar::von_karman_shape(s);
}

}  // namespace zam
