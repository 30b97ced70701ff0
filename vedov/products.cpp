// The system and reconstruction matrices: each result evaluated in turn on the worker pool.
#include "vedov/products.hpp"

#include "vedov/queries.hpp"
#include "zam/covmat.hpp"
#include "zam/parallel.hpp"

namespace vedov {

zam::DenseMatrix covariance_matrix(std::span<const zam::Measurement> rows,
                                   std::span<const zam::Measurement> columns,
                                   const zam::VonKarmanLayers& layers, double lag) {
    return zam::matrix(zam::CovMat(rows, columns, layers, lag));
}

SystemMatrices system_matrices(const SystemGeom& system) {
    SystemMatrices m;
    m.c_phi_phi = covariance_matrix(system.phi, system.phi, system.cov_model, 0.0);
    m.c_phip1_phi = covariance_matrix(system.phi, system.phi, system.cov_model, system.simul_dt);
    m.c_meas_phi = covariance_matrix(system.meas, system.phi, system.cov_model, 0.0);
    m.d_meas_com = interaction_matrix(system.meas, system.com);
    m.d_phi_com = interaction_matrix(system.phi, system.com);
    m.p_phi = system.pupil ? pupil_projection(system.phi, *system.pupil)
                           : std::vector<double>(system.phi.size(), 1.0);
    // Without a pupil there is one value per measurement, with one one per measurement line.
    m.p_meas = system.pupil ? line_projection(system.meas_lines, system.pupil)
                            : std::vector<double>(system.meas.size(), 1.0);
    return m;
}

ReconMatrices recon_matrices(const SystemGeom& system) {
    ReconMatrices m;
    m.c_meas_meas = covariance_matrix(system.meas, system.meas, system.cov_model, 0.0);
    m.c_ts_meas = covariance_matrix(system.ts, system.meas, system.cov_model, system.meas_dt);
    m.d_meas_com = interaction_matrix(system.meas, system.com);
    m.d_ts_com = interaction_matrix(system.ts, system.com);
    m.p_meas = line_projection(system.meas_lines, system.pupil);
    return m;
}

}  // namespace vedov
