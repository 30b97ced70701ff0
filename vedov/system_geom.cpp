// The system record's constructor and simple setters, with the default turbulence profile.
#include "vedov/system_geom.hpp"

#include <array>

namespace vedov {

namespace {

// The default seven-layer profile: values stored exactly as listed.
constexpr std::array<zam::VonKarmanLayer, 7> default_layers{{
    {0.21575883, 60.0, 0.0, {10.0, 0.0}},
    {0.76709884, 60.0, 1800.0, {10.0, 1.0}},
    {0.59536035, 60.0, 3300.0, {12.0, -2.0}},
    {1.24070137, 60.0, 5800.0, {15.0, 5.0}},
    {1.51825277, 60.0, 7400.0, {5.0, 15.0}},
    {0.75553414, 60.0, 13100.0, {22.0, 11.0}},
    {2.062782, 60.0, 15800.0, {20.0, -8.0}},
}};

}  // namespace

SystemGeom new_empty() {
    return SystemGeom{};
}

void set_dt(SystemGeom& system, double simul_dt, double meas_dt) {
    system.simul_dt = simul_dt;
    system.meas_dt = meas_dt;
}

void set_pupil(SystemGeom& system, double teldiam, double cobs) {
    system.pupil = zam::Pupil{teldiam * 0.5, cobs * teldiam * 0.5, 0.0, {}};
}

void add_cov_layer(SystemGeom& system) {
    // Appending at the end either completes or, failing to grow, leaves the sequence as it was.
    system.cov_model.insert(system.cov_model.end(), default_layers.begin(), default_layers.end());
}

}  // namespace vedov
