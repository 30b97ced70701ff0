// The result sets held by SystemMatrices and ReconMatrices objects.
#pragma once

#include <vector>

#include "zam/dense_matrix.hpp"

namespace vedov {

/// The phase-side matrices of one system, fixed at creation.
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

}  // namespace vedov
