// The measurement record: a tagged variant of the four measurement kinds.
#pragma once

#include <cstdint>
#include <variant>

#include "zam/geometry.hpp"

namespace zam {

/// The kind without fields, shared by Measurement and Actuator: it reads or does nothing.
struct Zero {
    friend bool operator==(const Zero&, const Zero&) = default;
};

/// The phase along one line of sight.
struct Phase {
    Line line;
    friend bool operator==(const Phase&, const Phase&) = default;
};

/// Finite-difference slope: phase along line_pos minus phase along line_neg, over their distance at
/// z = 0.
struct SlopeTwoLine {
    Line line_pos;
    Line line_neg;
    friend bool operator==(const SlopeTwoLine&, const SlopeTwoLine&) = default;
};

/// Mean phase gradient over a sub-aperture along gradient_axis, from npoints samples on each of two
/// opposite edges; the lines converge on a source at `altitude` (+inf: parallel lines).
struct SlopeTwoEdge {
    Line central_line;
    double edge_length;
    double edge_separation;
    Vec2D gradient_axis;
    std::uint64_t npoints;
    double altitude;
    friend bool operator==(const SlopeTwoEdge&, const SlopeTwoEdge&) = default;
};

/// Variant index = the fixed tag: Zero 0, Phase 1, SlopeTwoLine 2, SlopeTwoEdge 3.
using Measurement = std::variant<Zero, Phase, SlopeTwoLine, SlopeTwoEdge>;

static_assert(std::variant_size_v<Measurement> == 4);
static_assert(std::is_same_v<std::variant_alternative_t<3, Measurement>, SlopeTwoEdge>);

}  // namespace zam
