// Interaction matrix: measurements (rows) sampling sampleable objects (columns).
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "zam/core.hpp"
#include "zam/failure.hpp"

namespace zam {

/// Element (i, j) = the weighted sum over row i's bundle of column j's value along each line.
/// Views its inputs: it must not outlive them.
template <Sampleable Column>
class IMat {
public:
    /// When to build the row bundles: all at construction (whole-matrix evaluations, where each is
    /// reused for every column) or per element (a few chosen elements).
    enum class Bundles { prebuilt, per_element };

    IMat(std::span<const Measurement> rows, std::span<const Column> columns,
         Bundles bundles = Bundles::prebuilt)
        : rows_(rows), columns_(columns) {
        if (bundles == Bundles::prebuilt) prebuilt_.emplace(rows);
    }

    std::size_t nrows() const noexcept { return rows_.size(); }
    std::size_t ncols() const noexcept { return columns_.size(); }

    /// Checks i against nrows(), then j against ncols().
    double element(std::size_t i, std::size_t j) const {
        if (i >= nrows()) fail_index(nrows(), i);
        if (j >= ncols()) fail_index(ncols(), j);
        if (prebuilt_) return sample((*prebuilt_)[i], columns_[j]);
        return sample(rows_[i], columns_[j]);
    }

private:
    std::span<const Measurement> rows_;
    std::span<const Column> columns_;
    std::optional<BundleSet> prebuilt_;
};

}  // namespace zam
