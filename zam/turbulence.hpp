// The turbulence records: one von Kármán layer with its wind, and the layer stack.
#pragma once

#include <vector>

#include "zam/geometry.hpp"

namespace zam {

struct VonKarmanLayer {
    double r0;   ///< Fried parameter of this layer alone
    double l0;   ///< outer scale
    double alt;  ///< altitude above the pupil plane
    Vec2D v;     ///< wind velocity (length per unit time)
    friend bool operator==(const VonKarmanLayer&, const VonKarmanLayer&) = default;
};

/// The turbulence model: statistically independent layers, in order.
using VonKarmanLayers = std::vector<VonKarmanLayer>;

}  // namespace zam
