// Where a system's measurements look and its actuators sit, as plain coordinates (Python-free).
#pragma once

#include <cstddef>

#include "vedov/system_geom.hpp"
#include "vedovx/native/requests.hpp"

namespace vedovx {

/// Coordinates per entry of `list`, written row by row to out (list_size × position_width):
/// for measurements, the point at `altitude` of the line of sight (a phase's line; for a slope
/// between edges, the line from the sub-aperture centre toward its source, which converges on a
/// source at finite height; the midpoint of a two-line slope's lines; NaN for a measurement of
/// nothing); for
/// measurement lines, the line's point at `altitude`; for actuators (x, y, z) of a Gaussian's
/// centre, NaN for the others.
void write_positions(const vedov::SystemGeom& system, List list, double altitude, double* out);

/// Numbers per position: 3 for actuators, 2 otherwise.
std::size_t position_width(List list) noexcept;

/// Numbers per measurement written by write_geometry.
inline constexpr std::size_t geometry_width = 10;

/// What each measurement of `list` (meas, phi or ts) is, one row of geometry_width numbers:
/// kind (0 nothing, 1 phase, 2 slope between two lines, 3 slope between two edges), lines in its
/// bundle, the point (x, y) where it crosses the pupil plane (a slope's sub-aperture centre, or the
/// midpoint of its two lines), the slopes (xz, yz) of its line (a slope's central line, or the mean
/// of its two lines'), its source altitude (a slope between edges; NaN for the others), the
/// distance its slope is taken over, and the axis (gx, gy) it is taken along (NaN where not a
/// slope).
void write_geometry(const vedov::SystemGeom& system, List list, double* out);

}  // namespace vedovx
