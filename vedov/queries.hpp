// Interaction matrices and pupil projections of a system's lists.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vedov/system_geom.hpp"
#include "zam/dense_matrix.hpp"

namespace vedov {

/// Response of every measurement of `rows` to every actuator of `columns`.
zam::DenseMatrix interaction_matrix(std::span<const zam::Measurement> rows,
                                    std::span<const zam::Actuator> columns);

/// The pupil sampled through each measurement of `rows`, one value per measurement.
std::vector<double> pupil_projection(std::span<const zam::Measurement> rows,
                                     const zam::Pupil& pupil);

/// The pupil along each line (each as a phase measurement), or all 1.0 without a pupil.
std::vector<double> line_projection(std::span<const zam::Line> lines,
                                    const std::optional<zam::Pupil>& pupil);

/// meas × com interaction matrix.
zam::DenseMatrix imat(const SystemGeom& system);

/// The elements of imat(system) at the (row, column) pairs, in their order, bit for bit; a row past
/// meas or a column past com fails with the index failure.
std::vector<double> imat_sparse(const SystemGeom& system,
                                std::vector<std::pair<std::uint64_t, std::uint64_t>> indices);

/// The pupil along each line of meas_lines (all 1.0 without a pupil).
std::vector<double> pmeas(const SystemGeom& system);

}  // namespace vedov
