// The system and reconstruction matrices: each field of the registry's table evaluated in turn
// on the worker pool.
#include "vedov/products.hpp"

#include "vedov/queries.hpp"
#include "vedov/registry.hpp"
#include "zam/covmat.hpp"
#include "zam/parallel.hpp"

namespace vedov {

namespace {

// A projection field: the pupil through each entry of its rows, or its 1.0s without a pupil.
std::vector<double> projection(const SystemGeom& system, List rows, List ones) {
    if (!system.pupil) return std::vector<double>(list_size(system, ones), 1.0);
    if (rows == List::meas_lines) return line_projection(system.meas_lines, system.pupil);
    return pupil_projection(measurements(system, rows), *system.pupil);
}

template <class Set>
Set evaluate(const SystemGeom& system) {
    Set set;
    for (const ProductField<Set>& field : ProductSet<Set>::fields) {
        switch (field.product) {
            case Product::covariance:
                set.*field.matrix = covariance_matrix(measurements(system, field.rows),
                                                      measurements(system, field.cols),
                                                      system.cov_model, lag_of(system, field.lag));
                break;
            case Product::interaction:
                set.*field.matrix =
                    interaction_matrix(measurements(system, field.rows), system.com);
                break;
            case Product::projection:
                set.*field.values = projection(system, field.rows, field.ones);
                break;
        }
    }
    return set;
}

}  // namespace

zam::DenseMatrix covariance_matrix(std::span<const zam::Measurement> rows,
                                   std::span<const zam::Measurement> columns,
                                   const zam::VonKarmanLayers& layers, double lag) {
    return zam::matrix(zam::CovMat(rows, columns, layers, lag));
}

SystemMatrices system_matrices(const SystemGeom& system) {
    return evaluate<SystemMatrices>(system);
}

ReconMatrices recon_matrices(const SystemGeom& system) {
    return evaluate<ReconMatrices>(system);
}

}  // namespace vedov
