// The system and reconstruction matrices: the result sets and how they are evaluated.
#pragma once

#include <span>
#include <vector>

#include "vedov/system_geom.hpp"
#include "zam/dense_matrix.hpp"
#include "zam/measurement.hpp"
#include "zam/turbulence.hpp"

namespace vedov {

/// The phase-side matrices of one system, fixed at creation. A new field has a row in the
/// registry's table (vedov/registry.hpp), which evaluates it and names it for both modules.
struct SystemMatrices {
    zam::DenseMatrix c_phi_phi;    ///< phi × phi covariance, lag 0
    zam::DenseMatrix c_phip1_phi;  ///< phi × phi covariance, lag simul_dt
    zam::DenseMatrix c_meas_phi;   ///< meas × phi covariance, lag 0
    zam::DenseMatrix d_meas_com;   ///< meas × com interaction matrix
    zam::DenseMatrix d_phi_com;    ///< phi × com interaction matrix
    std::vector<double> p_phi;     ///< pupil projection of the phase samples
    std::vector<double> p_meas;    ///< pupil projection of the measurement lines
};

/// The sensor-side matrices of one system, fixed at creation.
struct ReconMatrices {
    zam::DenseMatrix c_ts_meas;    ///< ts × meas covariance, lag meas_dt
    zam::DenseMatrix c_meas_meas;  ///< meas × meas covariance, lag 0
    zam::DenseMatrix d_ts_com;     ///< ts × com interaction matrix
    zam::DenseMatrix d_meas_com;   ///< meas × com interaction matrix
    std::vector<double> p_meas;    ///< pupil projection of the measurement lines
};

/// Covariance of `rows` (first lines) with `columns` through the layers at the lag.
zam::DenseMatrix covariance_matrix(std::span<const zam::Measurement> rows,
                                   std::span<const zam::Measurement> columns,
                                   const zam::VonKarmanLayers& layers, double lag);

/// Every field, evaluated in the order of its table in vedov/registry.hpp.
SystemMatrices system_matrices(const SystemGeom& system);

/// Every field, evaluated in the order of its table in vedov/registry.hpp.
ReconMatrices recon_matrices(const SystemGeom& system);

}  // namespace vedov
