// The actuator record (a tagged variant of the corrector kinds) and its value along a line.
#pragma once

#include <cmath>
#include <variant>

#include "zam/geometry.hpp"
#include "zam/measurement.hpp"

namespace zam {

/// Deformable-mirror actuator: Gaussian influence of width sigma centred on position (position.z is
/// the mirror's altitude), peak response microns_per_volt.
struct Gaussian {
    double sigma;
    Vec3D position;
    double microns_per_volt;
    friend bool operator==(const Gaussian&, const Gaussian&) = default;
};

/// One axis of a tip-tilt mirror: a phase plane through the pupil origin with this gradient.
struct TipTilt {
    Vec2D unit_response;
    friend bool operator==(const TipTilt&, const TipTilt&) = default;
};

/// Variant index = the fixed tag: Zero 0, Gaussian 1, TipTilt 2.
using Actuator = std::variant<Zero, Gaussian, TipTilt>;

static_assert(std::variant_size_v<Actuator> == 3);
static_assert(std::is_same_v<std::variant_alternative_t<2, Actuator>, TipTilt>);

/// Gaussian influence where the line crosses the mirror's height: mpv·exp(-(r/sigma)²/2).
inline double sample_line(const Gaussian& g, const Line& line) {
    const Vec2D at = line.at(g.position.z);
    const double dx = at.x - g.position.x;
    const double dy = at.y - g.position.y;
    const double r = std::sqrt(dx * dx + dy * dy);
    double q = r / g.sigma;
    q = q * q;
    q = q * -0.5;
    return g.microns_per_volt * std::exp(q);
}

/// The tip-tilt plane at the line's point in the pupil plane.
inline double sample_line(const TipTilt& tt, const Line& line) {
    const Vec2D at = line.at(0.0);
    return tt.unit_response.x * at.x + tt.unit_response.y * at.y;
}

inline double sample_line(const Zero&, const Line&) {
    return 0.0;
}

/// The actuator's contribution along one line of sight.
inline double sample_line(const Actuator& actuator, const Line& line) {
    return std::visit([&line](const auto& kind) { return sample_line(kind, line); }, actuator);
}

}  // namespace zam
