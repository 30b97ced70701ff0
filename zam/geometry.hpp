// Geometry records of the optical frame (Vec2D, Vec3D, Line) and the two grid generators.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace zam {

/// A point or vector in the pupil plane (or any plane of constant height).
struct Vec2D {
    double x;
    double y;

    /// n points from start to end, both included; n = 1 gives [start].
    static std::vector<Vec2D> linspace(const Vec2D& start, const Vec2D& end, std::size_t n);
    /// Centres of n equal cells from start to end, the first next to start; n = 1 gives the
    /// midpoint.
    static std::vector<Vec2D> linspread(const Vec2D& start, const Vec2D& end, std::size_t n);

    friend bool operator==(const Vec2D&, const Vec2D&) = default;
};

inline Vec2D operator+(const Vec2D& a, const Vec2D& b) {
    return {a.x + b.x, a.y + b.y};
}
inline Vec2D operator-(const Vec2D& a, const Vec2D& b) {
    return {a.x - b.x, a.y - b.y};
}
inline Vec2D operator-(const Vec2D& a) {
    return {-a.x, -a.y};
}
inline Vec2D operator*(const Vec2D& a, double s) {
    return {a.x * s, a.y * s};
}
inline Vec2D operator*(double s, const Vec2D& a) {
    return {s * a.x, s * a.y};
}
inline double dot(const Vec2D& a, const Vec2D& b) {
    return a.x * b.x + a.y * b.y;
}
/// Euclidean length sqrt(x² + y²).
inline double norm(const Vec2D& a) {
    return std::sqrt(a.x * a.x + a.y * a.y);
}

/// A point in space; z is the height above the pupil plane.
struct Vec3D {
    double x;
    double y;
    double z;

    friend bool operator==(const Vec3D&, const Vec3D&) = default;
};

/// The straight line of points (x0 + xz·z, y0 + yz·z, z), parametrised by height z.
struct Line {
    double x0;
    double xz;
    double y0;
    double yz;

    /// The point of the line at height z, computed literally (also at z = 0).
    Vec2D at(double z) const { return {x0 + xz * z, y0 + yz * z}; }

    /// The line through a (at height a.z) and b (at height b.z ≠ a.z).
    static Line through(const Vec3D& a, const Vec3D& b);

    friend bool operator==(const Line&, const Line&) = default;
};

}  // namespace zam
