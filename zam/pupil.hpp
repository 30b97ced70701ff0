// The telescope pupil record: an annulus centred on the origin, crossed by spider vanes.
#pragma once

#include <vector>

#include "zam/geometry.hpp"

namespace zam {

/// One spider vane: a segment in the pupil plane.
struct Spider {
    Vec2D start;
    Vec2D end;
    friend bool operator==(const Spider&, const Spider&) = default;
};

struct Pupil {
    double rad_outer;
    double rad_inner;
    double spider_thickness;  ///< full width of every vane
    std::vector<Spider> spiders;
    friend bool operator==(const Pupil&, const Pupil&) = default;
};

}  // namespace zam
