// Grid generators and line construction.
#include "zam/geometry.hpp"

#include "zam/failure.hpp"

namespace zam {

std::vector<Vec2D> Vec2D::linspace(const Vec2D& start, const Vec2D& end, std::size_t n) {
    check_capacity<Vec2D>(n);
    std::vector<Vec2D> points;
    if (n == 0) return points;
    points.reserve(n);
    if (n == 1) {
        points.push_back(start);
        return points;
    }
    const double last = static_cast<double>(n) + (-1.0);
    for (std::size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(k) / last;
        points.push_back({t * end.x + (1.0 - t) * start.x, t * end.y + (1.0 - t) * start.y});
    }
    return points;
}

std::vector<Vec2D> Vec2D::linspread(const Vec2D& start, const Vec2D& end, std::size_t n) {
    check_capacity<Vec2D>(n);
    std::vector<Vec2D> points;
    points.reserve(n);
    const double count = static_cast<double>(n);
    const double half_cell = 1.0 / (count + count);
    for (std::size_t k = 0; k < n; ++k) {
        const double t = half_cell + static_cast<double>(k) / count;
        points.push_back({t * end.x + (1.0 - t) * start.x, t * end.y + (1.0 - t) * start.y});
    }
    return points;
}

Line Line::through(const Vec3D& a, const Vec3D& b) {
    const double dz = b.z - a.z;
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    return {a.x - (a.z / dz) * dx, dx / dz, a.y - (a.z / dz) * dy, dy / dz};
}

}  // namespace zam
