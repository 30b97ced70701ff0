// Vector instruction levels of the covariance kernel, chosen at run time and checked before use.
#pragma once

#include <cstddef>

#include "zam/core.hpp"
#include "zam/geometry.hpp"
#include "zam/turbulence.hpp"

namespace zam {

enum class SimdLevel { none, avx2, avx512 };

/// Lanes of a level (1 for none).
std::size_t simd_width(SimdLevel level) noexcept;

/// The widest level this CPU supports whose exp reproduces the C library's exp bit for bit and
/// whose exact shape and covariance kernels (of both models) reproduce the scalar ones bit for
/// bit, checked once on first use; none when no level passes (another C library or CPU never
/// changes a result silently).
SimdLevel simd_level();

/// True when this CPU has fused multiply-add and von_karman_shape_fma reproduces von_karman_shape
/// bit for bit, checked once on first use: then the scalar exact terms use it.
bool fused_multiply_add_usable();

/// True when this CPU can run `level` at all (none always can).
bool simd_supported(SimdLevel level) noexcept;

/// exp of n values with the level's vectorised exp (the C library's exp for none). The level must
/// be supported.
void simd_exp(SimdLevel level, const double* in, double* out, std::size_t n);

/// One block of a covariance row: `width` adjacent columns whose bundles have `lines` lines each.
struct CovBlockTask {
    const Vec2D* row_points;          ///< the row's lines at each layer: [line · nlayers + layer]
    const double* row_weights;        ///< the row's line weights
    std::size_t row_lines;            ///< lines in the row's bundle
    const LayerConstants* constants;  ///< per layer
    std::size_t nlayers;
    const double*
        points;  ///< the columns' shifted points: [(line · nlayers + layer) · 2 + xy][lane]
    const double* weights;  ///< the columns' line weights: [line][lane]
    std::size_t lines;      ///< lines in each column's bundle
    double* out;            ///< width results
};

/// The block's elements, each exactly as the scalar element: the model's layer terms summed from
/// -0.0, then (cov × wa) × wb summed over column lines from -0.0, then over row lines from -0.0.
void covariance_block(SimdLevel level, const CovBlockTask& task,
                      CovarianceModel model = CovarianceModel::closed_form);

/// von_karman_shape of n squared arguments with the level's instance (the scalar one for none);
/// every level gives the scalar instance's bits. The level must be supported.
void simd_von_karman_shape(SimdLevel level, const double* in, double* out, std::size_t n);

/// Fields of a block of Gaussian actuators, lane-interleaved: [field · width + lane].
enum GaussianField {
    gaussian_z,
    gaussian_x,
    gaussian_y,
    gaussian_sigma,
    gaussian_mpv,
    gaussian_fields
};

/// One block of an interaction-matrix row: `width` adjacent Gaussian actuators.
struct ImatBlockTask {
    const WeightedLine* lines;  ///< the row's bundle
    std::size_t nlines;
    const double* actuators;  ///< [GaussianField · width + lane]
    double* out;              ///< width results
};

/// The block's elements, each exactly as the scalar element: over the bundle's lines from -0.0,
/// weight × mpv·exp(((r / sigma)²)·(-0.5)) at the line's point at the actuator's height.
void interaction_block(SimdLevel level, const ImatBlockTask& task);

}  // namespace zam
