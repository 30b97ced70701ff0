// Lattice detection: runs of like measurements, their closest pair, the fitted frame, the check.
#include "zam/lattice.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <type_traits>

#include "zam/failure.hpp"

namespace zam {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The fields a run's members share, as bit patterns (the kind first), and the member's point.
struct Shape {
    std::uint64_t fields[9];
    std::size_t count;
};

bool lattice_kind(const Measurement& m) noexcept {
    return std::holds_alternative<Phase>(m) || std::holds_alternative<SlopeTwoEdge>(m);
}

std::uint64_t bits(double x) noexcept {
    return std::bit_cast<std::uint64_t>(x);
}

Shape shape_of(const Measurement& m) noexcept {
    if (const Phase* p = std::get_if<Phase>(&m)) {
        return {{1, bits(p->line.xz), bits(p->line.yz)}, 3};
    }
    const SlopeTwoEdge& s = std::get<SlopeTwoEdge>(m);
    return {
        {3, bits(s.central_line.xz), bits(s.central_line.yz), bits(s.altitude), bits(s.edge_length),
         bits(s.edge_separation), bits(s.gradient_axis.x), bits(s.gradient_axis.y), s.npoints},
        9};
}

bool same_shape(const Measurement& a, const Measurement& b) noexcept {
    const Shape x = shape_of(a);
    const Shape y = shape_of(b);
    return x.count == y.count && std::equal(x.fields, x.fields + x.count, y.fields);
}

Vec2D point_of(const Measurement& m) noexcept {
    if (const Phase* p = std::get_if<Phase>(&m)) return {p->line.x0, p->line.y0};
    const Line& c = std::get<SlopeTwoEdge>(m).central_line;
    return {c.x0, c.y0};
}

// The members' source altitude (+inf for parallel lines), or why the run cannot form a lattice.
const char* source_altitude(const Measurement& m, double& altitude) noexcept {
    if (const Phase* p = std::get_if<Phase>(&m)) {
        altitude = infinity;
        return std::isfinite(p->line.xz) && std::isfinite(p->line.yz)
                   ? nullptr
                   : "the lines' directions are not finite";
    }
    const SlopeTwoEdge& s = std::get<SlopeTwoEdge>(m);
    altitude = s.altitude;
    if (!(altitude == infinity || (std::isfinite(altitude) && altitude != 0.0))) {
        return "the source altitude is neither +inf nor finite and non-zero";
    }
    const double fields[] = {s.central_line.xz, s.central_line.yz, s.edge_length,
                             s.edge_separation, s.gradient_axis.x, s.gradient_axis.y};
    for (double f : fields) {
        if (!std::isfinite(f)) return "a shared field is not finite";
    }
    return nullptr;
}

// u turned by quarter turns until it is the basis vector nearest the +x axis.
Vec2D canonical(Vec2D u) noexcept {
    for (int turn = 0; turn < 4 && !(u.x > 0.0 && -u.x <= u.y && u.y < u.x); ++turn) {
        u = {-u.y, u.x};
    }
    return u;
}

// The difference of the closest pair of distinct points found by comparing each point with the
// next 64 in (x, y) order, or {0, 0} when every point is the same.
Vec2D closest_pair(std::span<const Vec2D> points) {
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return points[a].x < points[b].x ||
               (points[a].x == points[b].x && points[a].y < points[b].y);
    });
    double best = infinity;
    Vec2D difference{0.0, 0.0};
    for (std::size_t a = 0; a < order.size(); ++a) {
        const Vec2D pa = points[order[a]];
        const std::size_t end = std::min(order.size(), a + 65);
        for (std::size_t b = a + 1; b < end; ++b) {
            const Vec2D d = points[order[b]] - pa;
            if (d.x * d.x >= best) break;
            const double d2 = d.x * d.x + d.y * d.y;
            if (d2 > 0.0 && d2 < best) {
                best = d2;
                difference = d;
            }
        }
    }
    return difference;
}

struct Index {
    std::int64_t i;
    std::int64_t j;
};

// One least-squares step: the correction of (origin, u) that best fits the points' residuals,
// the sites given. The residuals are small, so their rounding is negligible in the correction.
void refine(std::span<const Vec2D> points, std::span<const Index> sites, LatticeFrame& frame) {
    const double n = static_cast<double>(points.size());
    double mean_i = 0.0, mean_j = 0.0;
    for (const Index& s : sites) {
        mean_i += static_cast<double>(s.i);
        mean_j += static_cast<double>(s.j);
    }
    mean_i /= n;
    mean_j /= n;
    Vec2D mean_r{0.0, 0.0};
    std::vector<Vec2D> residuals(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        residuals[k] = points[k] - frame.at(sites[k].i, sites[k].j);
        mean_r = mean_r + residuals[k];
    }
    mean_r = mean_r * (1.0 / n);
    double sx = 0.0, sy = 0.0, weight = 0.0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double i = static_cast<double>(sites[k].i) - mean_i;
        const double j = static_cast<double>(sites[k].j) - mean_j;
        const Vec2D r = residuals[k] - mean_r;
        sx += i * r.x + j * r.y;
        sy += i * r.y - j * r.x;
        weight += i * i + j * j;
    }
    if (weight == 0.0) return;
    const Vec2D du{sx / weight, sy / weight};
    const Vec2D dv{-du.y, du.x};
    frame.u = frame.u + du;
    frame.origin = frame.origin + (mean_r - du * mean_i - dv * mean_j);
}

// Fits the run [first, last) of `list` and records it as a lattice or as a broken run.
void fit_run(std::span<const Measurement> list, std::size_t first, std::size_t last,
             ListStructure& structure) {
    const auto broken = [&](std::string reason) {
        structure.broken.push_back({first, last, std::move(reason)});
    };
    double altitude = 0.0;
    if (const char* why = source_altitude(list[first], altitude)) return broken(why);
    const std::size_t count = last - first;
    std::vector<Vec2D> points(count);
    double largest = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        points[k] = point_of(list[first + k]);
        if (!std::isfinite(points[k].x) || !std::isfinite(points[k].y)) {
            return broken("the point of measurement " + std::to_string(first + k) +
                          " is not finite");
        }
        largest = std::max({largest, std::fabs(points[k].x), std::fabs(points[k].y)});
    }
    const Vec2D u = canonical(closest_pair(points));
    if (u.x == 0.0 && u.y == 0.0) return broken("every point is the same");

    // Sites by rounding against the closest pair's frame, then the frame fitted to them.
    LatticeFrame frame{points[0], u};
    const double pitch2 = dot(u, u);
    const Vec2D v = frame.v();
    constexpr double far = 1e12;  // sites beyond this many pitches are no lattice of interest
    std::vector<Index> sites(count);
    for (std::size_t k = 0; k < count; ++k) {
        const Vec2D r = points[k] - points[0];
        const double i = std::nearbyint(dot(r, u) / pitch2);
        const double j = std::nearbyint(dot(r, v) / pitch2);
        if (!(std::fabs(i) < far && std::fabs(j) < far)) {
            return broken("measurement " + std::to_string(first + k) + " lies too far away");
        }
        sites[k] = {static_cast<std::int64_t>(i), static_cast<std::int64_t>(j)};
    }
    for (int step = 0; step < 3; ++step) refine(points, sites, frame);

    // Points far off pull a least-squares fit: while some point is off, the frame is fitted again
    // to the points much closer than the farthest, so that the report names the ones off.
    const double pitch = frame.pitch();
    const double tolerance = std::min(1e-9 * pitch, std::ldexp(largest, -48));
    std::vector<double> off(count);
    for (int attempt = 0;; ++attempt) {
        double farthest = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            off[k] = norm(points[k] - frame.at(sites[k].i, sites[k].j));
            farthest = std::max(farthest, off[k]);
        }
        if (farthest <= tolerance || attempt == 3) break;
        std::vector<Vec2D> near_points;
        std::vector<Index> near_sites;
        for (std::size_t k = 0; k < count; ++k) {
            if (off[k] <= farthest / 8) {
                near_points.push_back(points[k]);
                near_sites.push_back(sites[k]);
            }
        }
        if (near_points.size() < 2 || 2 * near_points.size() < count) break;
        for (int step = 0; step < 2; ++step) refine(near_points, near_sites, frame);
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (!(off[k] <= tolerance)) {
            char fraction[32];
            std::snprintf(fraction, sizeof fraction, "%.3g", off[k] / pitch);
            return broken("the point of measurement " + std::to_string(first + k) + " lies " +
                          fraction + " pitch off the lattice");
        }
    }
    Lattice lattice{first,      last,       frame,      altitude,  tolerance,
                    sites[0].i, sites[0].i, sites[0].j, sites[0].j};
    for (const Index& s : sites) {
        lattice.min_i = std::min(lattice.min_i, s.i);
        lattice.max_i = std::max(lattice.max_i, s.i);
        lattice.min_j = std::min(lattice.min_j, s.j);
        lattice.max_j = std::max(lattice.max_j, s.j);
    }
    const double area = static_cast<double>(lattice.max_i - lattice.min_i + 1) *
                        static_cast<double>(lattice.max_j - lattice.min_j + 1);
    if (area > 4.0 * static_cast<double>(count) + 64.0) {
        return broken("the points fill too little of their lattice's box");
    }
    const auto index = static_cast<std::ptrdiff_t>(structure.lattices.size());
    structure.lattices.push_back(lattice);
    for (std::size_t k = 0; k < count; ++k) {
        structure.sites[first + k] = {index, sites[k].i, sites[k].j};
    }
}

}  // namespace

ListStructure find_lattices(std::span<const Measurement> list) {
    ListStructure structure;
    structure.sites.resize(list.size());
    std::size_t k = 0;
    while (k < list.size()) {
        if (!lattice_kind(list[k])) {
            ++k;
            continue;
        }
        std::size_t end = k + 1;
        while (end < list.size() && lattice_kind(list[end]) && same_shape(list[k], list[end])) {
            ++end;
        }
        if (end - k >= 2) fit_run(list, k, end, structure);
        k = end;
    }
    return structure;
}

bool compatible(const Lattice& a, const Lattice& b) noexcept {
    if (a.altitude != b.altitude) return false;
    const double drift = norm(a.frame.u - b.frame.u) * static_cast<double>(a.span() + b.span());
    return drift <= std::min(a.tolerance, b.tolerance);
}

Measurement lattice_member(std::span<const Measurement> list, const Lattice& lattice,
                           std::int64_t i, std::int64_t j) {
    Measurement m = checked_at(list, lattice.first);
    const Vec2D p = lattice.frame.at(i, j);
    std::visit(
        [&](auto& kind) {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, Phase>) {
                kind.line.x0 = p.x;
                kind.line.y0 = p.y;
            } else if constexpr (std::is_same_v<K, SlopeTwoEdge>) {
                kind.central_line.x0 = p.x;
                kind.central_line.y0 = p.y;
            }
        },
        m);
    return m;
}

}  // namespace zam
