// Sensor, sample and corrector builders, and the full-system constructor composed of them.
#include "vedov/builders.hpp"

#include <algorithm>
#include <cmath>

#include "vedov/grids.hpp"
#include "zam/failure.hpp"

namespace vedov {

namespace {

// √2 as the stored constant of the Gaussian width.
constexpr double sqrt_two = 1.4142135623730951;

// A block of `count` new entries, with its storage taken up front.
template <class T>
std::vector<T> new_block(std::size_t count) {
    zam::check_capacity<T>(count);
    std::vector<T> block;
    block.reserve(count);
    return block;
}

// Room for `extra` more entries, so that appending them cannot fail. Grows geometrically, so that
// many small appends stay linear.
template <class T>
void make_room(std::vector<T>& sequence, std::size_t extra) {
    const std::size_t needed = zam::checked_add(sequence.size(), extra);
    if (needed <= sequence.capacity()) return;
    zam::check_capacity<T>(needed);
    const std::size_t capacity = sequence.capacity();
    const std::size_t doubled =
        capacity <= sequence.max_size() / 2 ? capacity + capacity : sequence.max_size();
    sequence.reserve(std::max(needed, doubled));
}

template <class T>
void append(std::vector<T>& sequence, const std::vector<T>& block) {
    make_room(sequence, block.size());
    sequence.insert(sequence.end(), block.begin(), block.end());
}

// Clocking, zoom and shift of a subaperture or actuator pattern: rotation about the pupil centre
// by −θ, scaling about it by m, then the shift.
struct PatternTransform {
    double c;  // cos θ
    double s;  // sin θ
    double m;  // 1 + zoom
    zam::Vec2D shift;

    zam::Vec2D operator()(const zam::Vec2D& p) const {
        return {(p.x * c + p.y * s) * m + shift.x, (p.y * c - p.x * s) * m + shift.y};
    }
};

}  // namespace

void add_meas(SystemGeom& system, double teldiam, std::size_t nsubx,
              std::span<const zam::Vec2D> wfs_dirs, double gsalt,
              std::span<const zam::Vec2D> wfs_delta, std::span<const double> wfs_clocking,
              std::span<const double> wfs_zoom) {
    const std::size_t points = grid_size(nsubx);
    const std::size_t count = zam::checked_mul(zam::checked_mul(points, 2), wfs_dirs.size());
    if (count == 0) return;  // nothing to build, so nothing is looked up
    std::vector<zam::Measurement> block = new_block<zam::Measurement>(count);
    const std::vector<zam::Vec2D> grid = cell_centre_grid(teldiam, nsubx);
    const double size = teldiam / static_cast<double>(nsubx);

    for (std::size_t w = 0; w < wfs_dirs.size(); ++w) {
        const double clocking = zam::checked_at(wfs_clocking, w);
        const double zoom = zam::checked_at(wfs_zoom, w);
        const zam::Vec2D delta = zam::checked_at(wfs_delta, w);
        const double dx = wfs_dirs[w].x * arcsecond;
        const double dy = wfs_dirs[w].y * arcsecond;
        const PatternTransform pattern{std::cos(clocking), std::sin(clocking), 1.0 + zoom, delta};
        // The pattern's rotated y axis, then its rotated x axis.
        const zam::Vec2D axes[2] = {{pattern.s, pattern.c}, {pattern.c, -pattern.s}};
        for (const zam::Vec2D& axis : axes) {
            for (const zam::Vec2D& p : grid) {
                const zam::Vec2D centre = pattern(p);
                block.push_back(
                    zam::SlopeTwoEdge{{centre.x, dx, centre.y, dy}, size, size, axis, 1, gsalt});
            }
        }
    }

    // Both sequences get their room before either grows, so they stay in step.
    make_room(system.meas, count);
    make_room(system.meas_lines, count);
    system.meas.insert(system.meas.end(), block.begin(), block.end());
    for (const zam::Measurement& m : block) {
        system.meas_lines.push_back(std::get<zam::SlopeTwoEdge>(m).central_line);
    }
}

void add_ts(SystemGeom& system, double teldiam, std::size_t ntssamples,
            std::span<const zam::Vec2D> ts_dirs) {
    const std::size_t count = zam::checked_mul(grid_size(ntssamples), ts_dirs.size());
    if (count == 0) return;
    std::vector<zam::Measurement> block = new_block<zam::Measurement>(count);
    const std::vector<zam::Vec2D> grid = edge_to_edge_grid(teldiam / 2.0, ntssamples);
    for (const zam::Vec2D& d : ts_dirs) {
        const double xz = d.x * arcsecond;
        const double yz = d.y * arcsecond;
        for (const zam::Vec2D& p : grid) block.push_back(zam::Phase{{p.x, xz, p.y, yz}});
    }
    append(system.ts, block);
}

void add_phi(SystemGeom& system, double teldiam, std::size_t nphisamples) {
    std::vector<zam::Measurement> block = new_block<zam::Measurement>(grid_size(nphisamples));
    for (const zam::Vec2D& p : cell_centre_grid(teldiam, nphisamples)) {
        block.push_back(zam::Phase{{p.x, 0.0, p.y, 0.0}});
    }
    append(system.phi, block);
}

void add_com(SystemGeom& system, double pitch, std::size_t nactux, zam::Vec2D dm_delta,
             double dmalt, double coupling, double dm_clocking, double dm_zoom,
             double microns_per_volt) {
    std::vector<zam::Actuator> block = new_block<zam::Actuator>(grid_size(nactux));
    const double half_width = (static_cast<double>(nactux) - 1.0) * pitch * 0.5;
    // The width at which the response one pitch away is `coupling` times the peak; pow, not sqrt,
    // because the two differ in the last bit for some couplings.
    const double r = std::pow(std::log(1.0 / coupling), 0.5);
    const double sigma = pitch / r / sqrt_two;
    const PatternTransform pattern{std::cos(dm_clocking), std::sin(dm_clocking), dm_zoom + 1.0,
                                   dm_delta};
    for (const zam::Vec2D& p : edge_to_edge_grid(half_width, nactux)) {
        const zam::Vec2D q = pattern(p);
        block.push_back(zam::Gaussian{sigma, {q.x, q.y, dmalt}, microns_per_volt});
    }
    append(system.com, block);
}

void add_ttdm(SystemGeom& system, double scale) {
    // The zero components are products with scale: −0.0 for a negative scale, NaN for a
    // non-finite one.
    append(system.com, std::vector<zam::Actuator>{zam::TipTilt{{0.0 * scale, scale}},
                                                  zam::TipTilt{{scale, 0.0 * scale}}});
}

SystemGeom new_system(const SystemParameters& p) {
    SystemGeom system = new_empty();
    add_com(system, p.pitch, p.nactux, p.dm_delta, p.dmalt, p.coupling, p.dm_clocking, p.dm_zoom,
            p.microns_per_volt);
    add_meas(system, p.teldiam, p.nsubx, p.wfs_dirs, p.gsalt, p.wfs_delta, p.wfs_clocking,
             p.wfs_zoom);
    add_phi(system, p.teldiam, p.nphisamples);
    add_cov_layer(system);
    add_ts(system, p.teldiam, p.ntssamples, p.ts_dirs);
    set_pupil(system, p.teldiam, p.cobs);
    return system;
}

}  // namespace vedov
