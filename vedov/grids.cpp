// Square point grids built from one x list and one y list.
#include "vedov/grids.hpp"

#include "zam/failure.hpp"

namespace vedov {

namespace {

// Storage for the whole grid, taken before the point lists so that an impossible grid fails first.
std::vector<zam::Vec2D> grid_storage(std::size_t n) {
    const std::size_t total = grid_size(n);
    zam::check_capacity<zam::Vec2D>(total);
    std::vector<zam::Vec2D> grid;
    grid.reserve(total);
    return grid;
}

// Every pairing of the two lists as a vector sum, x index outer.
void fill(std::vector<zam::Vec2D>& grid, const std::vector<zam::Vec2D>& xs,
          const std::vector<zam::Vec2D>& ys) {
    for (const zam::Vec2D& x : xs) {
        for (const zam::Vec2D& y : ys) grid.push_back(x + y);
    }
}

}  // namespace

std::size_t grid_size(std::size_t n) {
    return zam::checked_mul(n, n);
}

std::vector<zam::Vec2D> cell_centre_grid(double diameter, std::size_t n) {
    std::vector<zam::Vec2D> grid = grid_storage(n);
    const double half = diameter / 2.0;
    fill(grid, zam::Vec2D::linspread({-half, 0.0}, {half, 0.0}, n),
         zam::Vec2D::linspread({0.0, -half}, {0.0, half}, n));
    return grid;
}

std::vector<zam::Vec2D> edge_to_edge_grid(double half_width, std::size_t n) {
    std::vector<zam::Vec2D> grid = grid_storage(n);
    fill(grid, zam::Vec2D::linspace({-half_width, 0.0}, {half_width, 0.0}, n),
         zam::Vec2D::linspace({0.0, -half_width}, {0.0, half_width}, n));
    return grid;
}

}  // namespace vedov
