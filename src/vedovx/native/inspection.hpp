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

}  // namespace vedovx
