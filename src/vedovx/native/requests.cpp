// The companion's matrices: chosen entries gathered, the core's matrix built, storage filled.
#include "vedovx/native/requests.hpp"

#include <optional>
#include <vector>

#include "zam/covmat.hpp"
#include "zam/imat.hpp"
#include "zam/structured.hpp"

namespace vedovx {

namespace {

using vedov::measurements;

std::vector<std::size_t> positions(const Selection& selection) {
    return std::vector<std::size_t>(selection.indices.begin(), selection.indices.end());
}

// The chosen entries' positions in a list of `entries`: every one when the selection is all.
std::vector<std::size_t> chosen(const Selection& selection, std::size_t entries) {
    if (!selection.all) return positions(selection);
    std::vector<std::size_t> all(entries);
    for (std::size_t k = 0; k < entries; ++k) all[k] = k;
    return all;
}

zam::BundleSet bundles(std::span<const zam::Measurement> list, const Selection& selection) {
    if (selection.all) return zam::BundleSet(list);
    return zam::BundleSet(list, positions(selection));
}

// Entries of a list of plain values, the chosen ones copied in order (the whole list is viewed).
template <class T>
class Chosen {
public:
    Chosen(std::span<const T> list, const Selection& selection) : view_(list) {
        if (selection.all) return;
        zam::check_capacity<T>(selection.indices.size());
        copy_.reserve(selection.indices.size());
        for (std::int64_t i : selection.indices) {
            copy_.push_back(zam::checked_at(list, static_cast<std::size_t>(i)));
        }
        view_ = copy_;
    }
    std::span<const T> view() const noexcept { return view_; }

private:
    std::vector<T> copy_;
    std::span<const T> view_;
};

// Every element of the target set to `value`, rows counted as done.
void fill_constant(const zam::Target& target, double value, zam::Progress& progress) {
    for (std::size_t i = 0; i < target.rows; ++i) {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(i) * target.row_stride;
        for (std::size_t j = 0; j < target.cols; ++j) {
            if (target.type == zam::ElementType::float64) {
                static_cast<double*>(target.data)[offset + static_cast<std::ptrdiff_t>(j)] = value;
            } else {
                static_cast<float*>(target.data)[offset + static_cast<std::ptrdiff_t>(j)] =
                    static_cast<float>(value);
            }
        }
    }
    progress.rows_done.fetch_add(target.rows, std::memory_order_relaxed);
}

void evaluate_projection(const vedov::SystemGeom& system, const Request& request,
                         const zam::Target& target, zam::Progress& progress) {
    if (!system.pupil) {
        fill_constant(target, 1.0, progress);
        return;
    }
    // The pupil is sampled through a copy, as the module's own projections do.
    const zam::Pupil pupil = *system.pupil;
    const std::span<const zam::Pupil> column(&pupil, 1);
    if (request.rows != List::meas_lines) {
        zam::fill(zam::IMat<zam::Pupil>(
                      bundles(measurements(system, request.rows), request.row_selection), column),
                  target, progress);
        return;
    }
    // Each line is sampled as a phase measurement along it.
    const Chosen<zam::Line> lines(system.meas_lines, request.row_selection);
    std::vector<zam::Measurement> phases;
    zam::check_capacity<zam::Measurement>(lines.view().size());
    phases.reserve(lines.view().size());
    for (const zam::Line& line : lines.view()) phases.emplace_back(zam::Phase{line});
    zam::fill(zam::IMat<zam::Pupil>(zam::BundleSet(phases), column), target, progress);
}

void evaluate_covariance(const vedov::SystemGeom& system, const Request& request,
                         const zam::Target& target, zam::Progress& progress) {
    const std::span<const zam::Measurement> rows = measurements(system, request.rows);
    const std::span<const zam::Measurement> cols = measurements(system, request.cols);
    if (request.method == Method::structured) {
        zam::StructuredCovMat(rows, chosen(request.row_selection, rows.size()), cols,
                              chosen(request.col_selection, cols.size()),
                              layers_of(system, request), request.lag, zam::simd_level(),
                              request.model)
            .fill(target, progress);
        return;
    }
    zam::fill(
        zam::CovMat(bundles(rows, request.row_selection), bundles(cols, request.col_selection),
                    layers_of(system, request), request.lag, zam::simd_level(), request.model),
        target, progress);
}

}  // namespace

zam::VonKarmanLayers layers_of(const vedov::SystemGeom& system, const Request& request) {
    if (request.layer_selection.all) return system.cov_model;
    const Chosen<zam::VonKarmanLayer> chosen(system.cov_model, request.layer_selection);
    return zam::VonKarmanLayers(chosen.view().begin(), chosen.view().end());
}

std::size_t result_rows(const vedov::SystemGeom& system, const Request& request) noexcept {
    return request.row_selection.size(list_size(system, request.rows));
}

std::size_t result_cols(const vedov::SystemGeom& system, const Request& request) noexcept {
    switch (request.product) {
        case Product::projection: return 1;
        case Product::interaction: return request.col_selection.size(system.com.size());
        case Product::covariance: break;
    }
    return request.col_selection.size(list_size(system, request.cols));
}

void evaluate(const vedov::SystemGeom& system, const Request& request, const zam::Target& target,
              zam::Progress& progress) {
    switch (request.product) {
        case Product::covariance: evaluate_covariance(system, request, target, progress); return;
        case Product::interaction: {
            const Chosen<zam::Actuator> actuators(system.com, request.col_selection);
            zam::fill(zam::IMat<zam::Actuator>(
                          bundles(measurements(system, request.rows), request.row_selection),
                          actuators.view()),
                      target, progress);
            return;
        }
        case Product::projection: evaluate_projection(system, request, target, progress); return;
    }
}

}  // namespace vedovx
