// Phase samples over the pupil toward chosen directions, built before they are appended
// (Python-free).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "zam/geometry.hpp"
#include "zam/measurement.hpp"

namespace vedovx {

/// A Phase measurement per point of the nsamples × nsamples cell-centre grid across teldiam (the
/// grid of vedov's phase samples), direction by direction: the line from the grid point toward
/// the direction (x, y) [arcsec, turned into slopes as vedov's builders do], parallel lines for an
/// altitude of +inf, else lines through the direction's point at that altitude. Toward (0, 0) at
/// +inf they equal vedov's own phase samples.
std::vector<zam::Measurement> phase_samples_toward(double teldiam, std::size_t nsamples,
                                                   std::span<const zam::Vec2D> directions,
                                                   double altitude);

/// Appends `block` to `list`, room made first (growing geometrically) so that appending cannot
/// fail half way.
void append_all(std::vector<zam::Measurement>& list, const std::vector<zam::Measurement>& block);

}  // namespace vedovx
