// The system record: everything that describes one adaptive-optics system, and its simple setters.
#pragma once

#include <optional>
#include <vector>

#include "zam/actuator.hpp"
#include "zam/geometry.hpp"
#include "zam/measurement.hpp"
#include "zam/pupil.hpp"
#include "zam/turbulence.hpp"

namespace vedov {

/// A plain value: copying it copies every sequence and the pupil. Fields in declared order, which
/// is also the key order of the system document.
struct SystemGeom {
    std::vector<zam::Measurement> meas;  ///< wavefront-sensor measurements
    std::vector<zam::Measurement> phi;   ///< phase sample points
    std::vector<zam::Measurement> ts;    ///< truth-sensor measurements
    std::vector<zam::Actuator> com;      ///< corrector actuators
    zam::VonKarmanLayers cov_model;      ///< turbulence profile
    std::optional<zam::Pupil> pupil;     ///< absent until set
    std::vector<zam::Line> meas_lines;   ///< line of sight of meas[k], index-aligned with meas
    double simul_dt = 0.0;               ///< simulation time step
    double meas_dt = 0.0;                ///< measurement time step

    friend bool operator==(const SystemGeom&, const SystemGeom&) = default;
};

/// Six empty sequences, no pupil, both time steps 0.0.
SystemGeom new_empty();

/// Stores both time steps unchanged.
void set_dt(SystemGeom& system, double simul_dt, double meas_dt);

/// Replaces the pupil by an annulus of diameter teldiam with a central obstruction of cobs·teldiam,
/// without spiders.
void set_pupil(SystemGeom& system, double teldiam, double cobs);

/// Appends the seven layers of the default turbulence profile to cov_model.
void add_cov_layer(SystemGeom& system);

}  // namespace vedov
