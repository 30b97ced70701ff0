// The builders' square point grids: cell centres and edge-to-edge, x index outer.
#pragma once

#include <cstddef>
#include <vector>

#include "zam/geometry.hpp"

namespace vedov {

/// n², or "capacity overflow" when it does not fit a machine word.
std::size_t grid_size(std::size_t n);

/// The n × n centres of equal cells spanning [−diameter/2, diameter/2] on both axes. Point
/// i·n + j is x-list point i plus y-list point j, the x index outer.
std::vector<zam::Vec2D> cell_centre_grid(double diameter, std::size_t n);

/// The n × n points spanning [−half_width, half_width] on both axes, edges included (n = 1: the
/// start corner). Point i·n + j is x-list point i plus y-list point j, the x index outer.
std::vector<zam::Vec2D> edge_to_edge_grid(double half_width, std::size_t n);

}  // namespace vedov
