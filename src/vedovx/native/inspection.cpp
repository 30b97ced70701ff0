// Coordinates of measurement lines and actuator centres.
#include "vedovx/native/inspection.hpp"

#include <array>
#include <limits>
#include <span>

#include "zam/visit.hpp"

namespace vedovx {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Where a measurement looks at `altitude`; nowhere (NaN) for a measurement of nothing.
zam::Vec2D point_of(const zam::Measurement& m, double altitude) {
    return zam::visit(
        m,
        [](const zam::Zero&) {
            return zam::Vec2D{nan, nan};
        },
        [altitude](const zam::Phase& kind) { return kind.line.at(altitude); },
        [altitude](const zam::SlopeTwoLine& kind) {
            const zam::Vec2D a = kind.line_pos.at(altitude);
            const zam::Vec2D b = kind.line_neg.at(altitude);
            return zam::Vec2D{(a.x + b.x) * 0.5, (a.y + b.y) * 0.5};
        },
        [altitude](const zam::SlopeTwoEdge& kind) {
            // Toward a source at finite height the line of sight through the sub-aperture
            // centre heads for the source, as the slope's own lines do.
            const zam::Line& c = kind.central_line;
            if (kind.altitude >= std::numeric_limits<double>::infinity()) return c.at(altitude);
            const double h = kind.altitude;
            const zam::Line sight{c.x0, (c.xz * h - c.x0) / h, c.y0, (c.yz * h - c.y0) / h};
            return sight.at(altitude);
        });
}

// An actuator's centre (x, y, z); NaN for one that has none.
zam::Vec3D centre_of(const zam::Actuator& actuator) {
    return zam::visit(
        actuator,
        [](const zam::Zero&) {
            return zam::Vec3D{nan, nan, nan};
        },
        [](const zam::Gaussian& g) { return g.position; },
        [](const zam::TipTilt&) {
            return zam::Vec3D{nan, nan, nan};
        });
}

void write_points(std::span<const zam::Measurement> list, double altitude, double* out) {
    for (const zam::Measurement& m : list) {
        const zam::Vec2D p = point_of(m, altitude);
        *out++ = p.x;
        *out++ = p.y;
    }
}

// What a measurement is, as one row of write_geometry.
std::array<double, geometry_width> geometry_of(const zam::Measurement& m) {
    using Row = std::array<double, geometry_width>;
    return zam::visit(
        m, [](const zam::Zero&) { return Row{0.0, 0.0, nan, nan, nan, nan, nan, nan, nan, nan}; },
        [](const zam::Phase& kind) {
            const zam::Line& l = kind.line;
            return Row{1.0, 1.0, l.x0, l.y0, l.xz, l.yz, nan, nan, nan, nan};
        },
        [](const zam::SlopeTwoLine& kind) {
            const zam::Line& p = kind.line_pos;
            const zam::Line& n = kind.line_neg;
            const zam::Vec2D a = p.at(0.0);
            const zam::Vec2D b = n.at(0.0);
            const zam::Vec2D d = a - b;
            const double distance = zam::norm(d);
            return Row{2.0,
                       2.0,
                       (a.x + b.x) * 0.5,
                       (a.y + b.y) * 0.5,
                       (p.xz + n.xz) * 0.5,
                       (p.yz + n.yz) * 0.5,
                       nan,
                       distance,
                       d.x / distance,
                       d.y / distance};
        },
        [](const zam::SlopeTwoEdge& kind) {
            const zam::Line& c = kind.central_line;
            return Row{3.0,
                       2.0 * static_cast<double>(kind.npoints),
                       c.x0,
                       c.y0,
                       c.xz,
                       c.yz,
                       kind.altitude,
                       kind.edge_separation,
                       kind.gradient_axis.x,
                       kind.gradient_axis.y};
        });
}

void write_rows(std::span<const zam::Measurement> list, double* out) {
    for (const zam::Measurement& m : list) {
        for (double v : geometry_of(m)) *out++ = v;
    }
}

}  // namespace

void write_geometry(const vedov::SystemGeom& system, List list, double* out) {
    switch (list) {
        case List::meas: write_rows(system.meas, out); return;
        case List::phi: write_rows(system.phi, out); return;
        case List::ts: write_rows(system.ts, out); return;
        case List::meas_lines:
        case List::com: return;
    }
}

std::size_t position_width(List list) noexcept {
    return vedov::list_holds(list) == vedov::ListHolds::actuators ? 3 : 2;
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
                const zam::Vec3D c = centre_of(actuator);
                *out++ = c.x;
                *out++ = c.y;
                *out++ = c.z;
            }
            return;
    }
}

}  // namespace vedovx
