// The vector primitives of zam/von_karman_shape.inl on one double, for the scalar instances.

// Before inclusion the namespace defines ZAM_TARGET; <bit>, <cmath>, <cstdint> and
// zam/von_karman_shape_coefficients.hpp are included.

using V = double;
using M = bool;
using C = int;

ZAM_TARGET inline V vset(double v) {
    return v;
}
ZAM_TARGET inline V vadd(V a, V b) {
    return a + b;
}
ZAM_TARGET inline V vsub(V a, V b) {
    return a - b;
}
ZAM_TARGET inline V vmul(V a, V b) {
    return a * b;
}
ZAM_TARGET inline V vfma(V a, V b, V c) {
    return std::fma(a, b, c);
}
ZAM_TARGET inline V vdiv(V a, V b) {
    return a / b;
}
ZAM_TARGET inline V vsqrt(V a) {
    return std::sqrt(a);
}
// As the vector instructions: the second operand wins when either is not a number.
ZAM_TARGET inline V vmin(V a, V b) {
    return a < b ? a : b;
}
ZAM_TARGET inline V vmax(V a, V b) {
    return a > b ? a : b;
}
ZAM_TARGET inline V vexp(V a) {
    return std::exp(a);
}
ZAM_TARGET inline M vless(V a, V b) {
    return a < b;
}
ZAM_TARGET inline unsigned lane_bits(M m) {
    return m ? 1u : 0u;
}
inline constexpr unsigned every_lane = 1;
ZAM_TARGET inline C vchoice(M first) {
    return first ? 0 : 1;
}
ZAM_TARGET inline V vchoose(const double* two, C choice) {
    return two[choice];
}
ZAM_TARGET inline V vblend(M m, V set, V clear) {
    return m ? set : clear;
}
// (seed_constant - ((high word of s) · seed_divisor >> 32)) << 32, read as a double.
ZAM_TARGET inline V root_seed(V s) {
    namespace c = von_karman_shape_coefficients;
    const std::uint64_t high = std::bit_cast<std::uint64_t>(s) >> 32;
    return std::bit_cast<double>((c::seed_constant - ((high * c::seed_divisor) >> 32)) << 32);
}
