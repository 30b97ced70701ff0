// Coordinates of measurement lines and actuator centres.
#include "vedovx/native/inspection.hpp"

#include <limits>
#include <span>
#include <type_traits>
#include <variant>

namespace vedovx {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

zam::Vec2D point_of(const zam::Measurement& m, double altitude) {
    return std::visit(
        [altitude](const auto& kind) -> zam::Vec2D {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, zam::Phase>) {
                return kind.line.at(altitude);
            } else if constexpr (std::is_same_v<K, zam::SlopeTwoEdge>) {
                // Toward a source at finite height the line of sight through the sub-aperture
                // centre heads for the source, as the slope's own lines do.
                const zam::Line& c = kind.central_line;
                if (kind.altitude >= std::numeric_limits<double>::infinity()) return c.at(altitude);
                const double h = kind.altitude;
                const zam::Line sight{c.x0, (c.xz * h - c.x0) / h, c.y0, (c.yz * h - c.y0) / h};
                return sight.at(altitude);
            } else if constexpr (std::is_same_v<K, zam::SlopeTwoLine>) {
                const zam::Vec2D a = kind.line_pos.at(altitude);
                const zam::Vec2D b = kind.line_neg.at(altitude);
                return {(a.x + b.x) * 0.5, (a.y + b.y) * 0.5};
            } else {
                return {nan, nan};
            }
        },
        m);
}

void write_points(std::span<const zam::Measurement> list, double altitude, double* out) {
    for (const zam::Measurement& m : list) {
        const zam::Vec2D p = point_of(m, altitude);
        *out++ = p.x;
        *out++ = p.y;
    }
}

}  // namespace

std::size_t position_width(List list) noexcept {
    return list == List::com ? 3 : 2;
}

void write_positions(const vedov::SystemGeom& system, List list, double altitude, double* out) {
    switch (list) {
        case List::meas: write_points(system.meas, altitude, out); return;
        case List::phi: write_points(system.phi, altitude, out); return;
        case List::ts: write_points(system.ts, altitude, out); return;
        case List::meas_lines:
            for (const zam::Line& line : system.meas_lines) {
                const zam::Vec2D p = line.at(altitude);
                *out++ = p.x;
                *out++ = p.y;
            }
            return;
        case List::com:
            for (const zam::Actuator& actuator : system.com) {
                const auto* g = std::get_if<zam::Gaussian>(&actuator);
                *out++ = g ? g->position.x : nan;
                *out++ = g ? g->position.y : nan;
                *out++ = g ? g->position.z : nan;
            }
            return;
    }
}

}  // namespace vedovx
