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

/// Where each measurement of `system.meas` looks from and how fine it is, written row by row to
/// out (meas × 4): the direction of its source (the x and y slopes of its central line, or of the
/// mean of a two-line slope's lines), the source's altitude (+inf for parallel lines) and the
/// measurement's baseline at z = 0 (a slope's edge separation or the distance of its lines, 0 for
/// a phase); NaN throughout for a measurement of nothing. Measurements of one guide star, as the
/// builders make them, share the first three.
void write_sources(const vedov::SystemGeom& system, double* out);

/// Numbers per position: 3 for actuators, 2 otherwise.
std::size_t position_width(List list) noexcept;

}  // namespace vedovx
