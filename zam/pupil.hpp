// The telescope pupil (an annulus centred on the origin, crossed by spider vanes) and its mask.
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

/// 1.0 where the line crosses the pupil plane in the clear aperture, else 0.0. The outer rim and a
/// point exactly half a thickness from a vane are clear; a not-a-number crossing point is clear.
double sample_line(const Pupil& pupil, const Line& line);

}  // namespace zam
