// The exact von Kármán shape x^(5/6) K_5/6(x): its scalar instances, the reference for every lane.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "zam/von_karman_shape_coefficients.hpp"

namespace zam {

// Any x86-64 CPU: fused multiply-adds by the C library's fma.
namespace von_karman_scalar {
#define ZAM_TARGET
#include "zam/scalar_ops.inl"
#include "zam/von_karman_shape.inl"
#undef ZAM_TARGET
}  // namespace von_karman_scalar

// CPUs with fused multiply-add: the same operations, the fused ones in hardware (both round once,
// so the bits are the same).
namespace von_karman_fma {
#define ZAM_TARGET __attribute__((target("fma")))
#include "zam/scalar_ops.inl"
#include "zam/von_karman_shape.inl"
#undef ZAM_TARGET
}  // namespace von_karman_fma

/// x^(5/6) K_5/6(x) at x = sqrt(s), s ≥ 0 the squared argument: relative error within 1e-13 for
/// x ≤ 50 and absolute error within 1e-16 beyond; g(0) = 2^(-1/6) Γ(5/6) to the nearest double;
/// +inf and not a number give not a number. Every instance and vector level computes these bits.
inline double von_karman_shape(double s) {
    return von_karman_scalar::von_karman_shape(s);
}

/// von_karman_shape with the CPU's fused multiply-add; only where fused_multiply_add_usable()
/// (zam/simd.hpp).
__attribute__((target("fma"))) inline double von_karman_shape_fma(double s) {
    return von_karman_fma::von_karman_shape(s);
}

}  // namespace zam
