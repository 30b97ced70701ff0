// Bundles of the measurement kinds (the lines of sight and weights each reduces to) and bundle
// sets.
#include <cmath>
#include <limits>

#include "zam/core.hpp"
#include "zam/failure.hpp"
#include "zam/visit.hpp"

namespace zam {

namespace {

// Slope bundle: two lines per edge point, +w through p + o, then -w through p - o.
void write_slope_two_edge(const SlopeTwoEdge& m, WeightedLine* out) {
    const Line& c = m.central_line;
    const double s = m.edge_separation;
    const double length = m.edge_length;
    const double h = m.altitude;
    const Vec2D g = m.gradient_axis;
    const double count = static_cast<double>(m.npoints);
    const double w = (1.0 / count) / s;
    const Vec2D o{(s * g.x) * 0.5, (s * g.y) * 0.5};
    const Vec2D a{(-g.y) * (length * 0.5), (length * 0.5) * g.x};
    const Vec2D b{-a.x, -a.y};
    const double half_cell = 1.0 / (count + count);
    const bool at_infinity = h >= std::numeric_limits<double>::infinity();

    for (std::uint64_t k = 0; k < m.npoints; ++k) {
        // Edge point k: the centre of the k-th of npoints equal cells from a to b.
        const double t = half_cell + static_cast<double>(k) / count;
        const Vec2D p{t * b.x + (1.0 - t) * a.x, t * b.y + (1.0 - t) * a.y};
        if (at_infinity) {
            *out++ = {{(p.x + o.x) + c.x0, c.xz, (p.y + o.y) + c.y0, c.yz}, w};
            *out++ = {{(p.x - o.x) + c.x0, c.xz, (p.y - o.y) + c.y0, c.yz}, -w};
        } else {
            // Lines from the displaced point at height 0 to the source (c.xz·h, c.yz·h) at height
            // h.
            const double tx = c.xz * h;
            const double ty = c.yz * h;
            const double pxp = ((p.x + o.x) + c.x0) + c.xz * 0.0;
            const double pyp = ((p.y + o.y) + c.y0) + c.yz * 0.0;
            *out++ = {{pxp - (0.0 / h) * (tx - pxp), (tx - pxp) / h, pyp - (0.0 / h) * (ty - pyp),
                       (ty - pyp) / h},
                      w};
            const double pxn = ((p.x - o.x) + c.x0) + c.xz * 0.0;
            const double pyn = ((p.y - o.y) + c.y0) + c.yz * 0.0;
            *out++ = {{pxn - (0.0 / h) * (tx - pxn), (tx - pxn) / h, pyn - (0.0 / h) * (ty - pyn),
                       (ty - pyn) / h},
                      -w};
        }
    }
}

}  // namespace

std::size_t bundle_size(const Measurement& m) {
    return visit(
        m, [](const Zero&) -> std::size_t { return 0; },
        [](const Phase&) -> std::size_t { return 1; },
        [](const SlopeTwoLine&) -> std::size_t { return 2; },
        [](const SlopeTwoEdge& kind) -> std::size_t {
            if (kind.npoints > std::numeric_limits<std::size_t>::max() / 2) fail_capacity();
            return static_cast<std::size_t>(kind.npoints) * 2;
        });
}

void write_bundle(const Measurement& m, WeightedLine* out) {
    visit(
        m, [](const Zero&) {},
        [out](const Phase& kind) {
            out[0] = {kind.line, 1.0};
        },
        [out](const SlopeTwoLine& kind) {
            const double dx = kind.line_pos.x0 - kind.line_neg.x0;
            const double dy = kind.line_pos.y0 - kind.line_neg.y0;
            const double w = 1.0 / std::sqrt(dx * dx + dy * dy);
            out[0] = {kind.line_pos, w};
            out[1] = {kind.line_neg, -w};
        },
        [out](const SlopeTwoEdge& kind) { write_slope_two_edge(kind, out); });
}

Bundle get_bundle(const Measurement& m) {
    const std::size_t n = bundle_size(m);
    check_capacity<WeightedLine>(n);
    Bundle bundle(n);
    write_bundle(m, bundle.data());
    return bundle;
}

BundleSet::BundleSet(std::span<const Measurement> measurements) {
    build(measurements.size(),
          [&](std::size_t k) -> const Measurement& { return measurements[k]; });
}

BundleSet::BundleSet(std::span<const Measurement> measurements,
                     std::span<const std::size_t> order) {
    for (std::size_t i : order) {
        if (i >= measurements.size()) fail_index(measurements.size(), i);
    }
    build(order.size(),
          [&](std::size_t k) -> const Measurement& { return measurements[order[k]]; });
}

}  // namespace zam
