// Lookups in the table of lists, products and lags, and a system's counts.
#include "vedov/registry.hpp"

#include <string>

#include "zam/failure.hpp"

namespace vedov {

std::size_t list_size(const SystemGeom& system, List list) noexcept {
    switch (list) {
        case List::meas: return system.meas.size();
        case List::phi: return system.phi.size();
        case List::ts: return system.ts.size();
        case List::com: return system.com.size();
        case List::meas_lines: return system.meas_lines.size();
    }
    __builtin_unreachable();
}

std::span<const zam::Measurement> measurements(const SystemGeom& system, List list) {
    switch (list) {
        case List::meas: return system.meas;
        case List::phi: return system.phi;
        case List::ts: return system.ts;
        case List::com:
        case List::meas_lines: break;
    }
    throw zam::Failure("the list " + std::string(list_name(list)) + " holds no measurements");
}

double lag_of(const SystemGeom& system, LagSource lag) noexcept {
    switch (lag) {
        case LagSource::none: return 0.0;
        case LagSource::simul_dt: return system.simul_dt;
        case LagSource::meas_dt: return system.meas_dt;
    }
    __builtin_unreachable();
}

Counts counts_of(const SystemGeom& system) noexcept {
    Counts counts{};
    for (std::size_t k = 0; k < std::size(lists); ++k)
        counts.sizes[k] = list_size(system, lists[k]);
    counts.layers = system.cov_model.size();
    counts.pupil = system.pupil.has_value();
    return counts;
}

}  // namespace vedov
