// Builders of sensors, samples and correctors, and the full-system constructor.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "vedov/system_geom.hpp"
#include "zam/geometry.hpp"

namespace vedov {

/// Radians per arcsecond as directions are turned into line slopes (four significant digits, on
/// purpose: stored systems depend on this exact value).
inline constexpr double arcsecond = 4.848e-6;

// Every builder builds its whole block of new entries and makes room in every sequence it touches
// before it appends anything: a failure (or exhausted memory) leaves the system as it was.

/// Appends the slope measurements of len(wfs_dirs) Shack-Hartmann sensors of nsubx × nsubx
/// subapertures to `meas` (per sensor: the y slopes, then the x slopes, in grid order) and their
/// central lines to `meas_lines`. wfs_clocking, wfs_zoom and wfs_delta are read at each sensor's
/// index, in that order; the first that is too short fails with the index failure, unless there is
/// nothing to build (nsubx = 0).
void add_meas(SystemGeom& system, double teldiam, std::size_t nsubx,
              std::span<const zam::Vec2D> wfs_dirs, double gsalt,
              std::span<const zam::Vec2D> wfs_delta, std::span<const double> wfs_clocking,
              std::span<const double> wfs_zoom);

/// Appends, direction by direction, a Phase measurement per point of the ntssamples × ntssamples
/// edge-to-edge grid to `ts`.
void add_ts(SystemGeom& system, double teldiam, std::size_t ntssamples,
            std::span<const zam::Vec2D> ts_dirs);

/// Appends a vertical Phase measurement per point of the nphisamples × nphisamples cell-centre grid
/// to `phi`.
void add_phi(SystemGeom& system, double teldiam, std::size_t nphisamples);

/// Appends the nactux × nactux Gaussian actuators of one mirror, one pitch apart, to `com`.
void add_com(SystemGeom& system, double pitch, std::size_t nactux, zam::Vec2D dm_delta,
             double dmalt, double coupling, double dm_clocking, double dm_zoom,
             double microns_per_volt);

/// Appends the two tip-tilt actuators (tilt along y, then along x) of amplitude `scale` to `com`.
void add_ttdm(SystemGeom& system, double scale);

/// The arguments of the full-system constructor, in its signature order.
struct SystemParameters {
    double teldiam;
    double cobs;
    double coupling;
    std::size_t nactux;
    double dmalt;
    double pitch;
    std::size_t nsubx;
    std::size_t ntssamples;
    std::size_t nphisamples;
    std::vector<zam::Vec2D> wfs_dirs;
    std::vector<zam::Vec2D> ts_dirs;
    zam::Vec2D dm_delta;
    std::vector<zam::Vec2D> wfs_delta;
    double dm_clocking;
    std::vector<double> wfs_clocking;
    double dm_zoom;
    std::vector<double> wfs_zoom;
    double gsalt;
    double microns_per_volt;
};

/// A complete single-mirror system: the mirror, the sensors, the phase samples, the default
/// turbulence, the truth sensors and an annular pupil, built in that order on an empty system.
SystemGeom new_system(const SystemParameters& parameters);

}  // namespace vedov
