// Interaction matrices and pupil projections, evaluated on the worker pool.
#include "vedov/queries.hpp"

#include "zam/imat.hpp"
#include "zam/parallel.hpp"

namespace vedov {

zam::DenseMatrix interaction_matrix(std::span<const zam::Measurement> rows,
                                    std::span<const zam::Actuator> columns) {
    return zam::matrix(zam::IMat<zam::Actuator>(rows, columns));
}

std::vector<double> pupil_projection(std::span<const zam::Measurement> rows,
                                     const zam::Pupil& pupil) {
    const zam::Pupil column = pupil;
    return zam::flat_matrix(zam::IMat<zam::Pupil>(rows, std::span<const zam::Pupil>(&column, 1)));
}

std::vector<double> line_projection(std::span<const zam::Line> lines,
                                    const std::optional<zam::Pupil>& pupil) {
    if (!pupil) return std::vector<double>(lines.size(), 1.0);
    std::vector<zam::Measurement> phases;
    phases.reserve(lines.size());
    for (const zam::Line& line : lines) phases.emplace_back(zam::Phase{line});
    return pupil_projection(phases, *pupil);
}

zam::DenseMatrix imat(const SystemGeom& system) {
    return interaction_matrix(system.meas, system.com);
}

std::vector<double> imat_sparse(const SystemGeom& system,
                                std::vector<std::pair<std::uint64_t, std::uint64_t>> indices) {
    static_assert(sizeof(std::uint64_t) == sizeof(std::size_t));
    std::vector<std::pair<std::size_t, std::size_t>> pairs(indices.begin(), indices.end());
    using IMat = zam::IMat<zam::Actuator>;
    return zam::samples(IMat(system.meas, system.com, IMat::Bundles::per_element),
                        std::move(pairs));
}

std::vector<double> pmeas(const SystemGeom& system) {
    return line_projection(system.meas_lines, system.pupil);
}

}  // namespace vedov
