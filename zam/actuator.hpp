// The actuator record: a tagged variant of the corrector actuator kinds.
#pragma once

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

}  // namespace zam
