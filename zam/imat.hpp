// Interaction matrix: measurements (rows) sampling sampleable objects (columns).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "zam/actuator.hpp"
#include "zam/core.hpp"
#include "zam/failure.hpp"
#include "zam/simd.hpp"

namespace zam {

/// Element (i, j) = the weighted sum over row i's bundle of column j's value along each line.
/// Views its inputs: it must not outlive them.
///
/// With prebuilt bundles and actuator columns, whole rows are filled block by block: runs of as
/// many adjacent Gaussian actuators as the vector level has lanes are evaluated side by side, each
/// element in exactly the scalar order; every other column is a block of its own.
template <Sampleable Column>
class IMat {
public:
    /// When to build the row bundles: all at construction (whole-matrix evaluations, where each is
    /// reused for every column) or per element (a few chosen elements).
    enum class Bundles { prebuilt, per_element };

    IMat(std::span<const Measurement> rows, std::span<const Column> columns,
         Bundles bundles = Bundles::prebuilt, SimdLevel level = simd_level())
        : rows_(rows), columns_(columns), level_(level) {
        if (bundles == Bundles::prebuilt) prebuilt_.emplace(rows);
        build_blocks(prebuilt_.has_value());
    }

    /// Rows given by bundles the caller built (of chosen measurements, say).
    IMat(BundleSet rows, std::span<const Column> columns, SimdLevel level = simd_level())
        : columns_(columns), level_(level), prebuilt_(std::move(rows)) {
        build_blocks(true);
    }

    std::size_t nrows() const noexcept { return prebuilt_ ? prebuilt_->size() : rows_.size(); }
    std::size_t ncols() const noexcept { return columns_.size(); }

    /// Checks i against nrows(), then j against ncols().
    double element(std::size_t i, std::size_t j) const {
        if (i >= nrows()) fail_index(nrows(), i);
        if (j >= ncols()) fail_index(ncols(), j);
        if (prebuilt_) return sample((*prebuilt_)[i], columns_[j]);
        return sample(rows_[i], columns_[j]);
    }

    std::size_t nblocks() const noexcept { return blocks_.size(); }
    /// The columns [first, second) of a block: one, or as many as the vector level has lanes.
    std::pair<std::size_t, std::size_t> block_columns(std::size_t block) const noexcept {
        return {blocks_[block].begin, blocks_[block].end};
    }
    /// Writes row i's elements of column block `block` to out[0 .. its width) (i and block in
    /// range).
    void fill_block(std::size_t i, std::size_t block, double* out) const {
        const Block& b = blocks_[block];
        if (b.end - b.begin == 1) {
            out[0] = prebuilt_ ? sample((*prebuilt_)[i], columns_[b.begin])
                               : sample(rows_[i], columns_[b.begin]);
            return;
        }
        const std::span<const WeightedLine> bundle = (*prebuilt_)[i];
        interaction_block(level_, {bundle.data(), bundle.size(), fields_.data() + b.data, out});
    }

private:
    struct Block {
        std::size_t begin;  ///< first column
        std::size_t end;    ///< one past the last column
        std::size_t data;   ///< offset of a vector block's fields
    };

    // Vector blocks only with prebuilt bundles, which they read.
    void build_blocks(bool vectors) {
        const std::size_t width = vectors ? simd_width(level_) : 1;
        const std::size_t ncols = columns_.size();
        std::size_t j = 0;
        while (j < ncols) {
            bool vector = false;
            if constexpr (std::is_same_v<Column, Actuator>) {
                vector = width > 1 && j + width <= ncols;
                for (std::size_t q = 0; vector && q < width; ++q) {
                    vector = std::holds_alternative<Gaussian>(columns_[j + q]);
                }
            }
            if (!vector) {
                blocks_.push_back({j, j + 1, 0});
                ++j;
                continue;
            }
            if constexpr (std::is_same_v<Column, Actuator>) {
                const std::size_t data = fields_.size();
                blocks_.push_back({j, j + width, data});
                fields_.resize(data + gaussian_fields * width);
                for (std::size_t q = 0; q < width; ++q) {
                    const Gaussian& g = std::get<Gaussian>(columns_[j + q]);
                    fields_[data + gaussian_z * width + q] = g.position.z;
                    fields_[data + gaussian_x * width + q] = g.position.x;
                    fields_[data + gaussian_y * width + q] = g.position.y;
                    fields_[data + gaussian_sigma * width + q] = g.sigma;
                    fields_[data + gaussian_mpv * width + q] = g.microns_per_volt;
                }
            }
            j += width;
        }
    }

    std::span<const Measurement> rows_;
    std::span<const Column> columns_;
    SimdLevel level_;
    std::optional<BundleSet> prebuilt_;
    std::vector<Block> blocks_;
    std::vector<double> fields_;  ///< vector blocks' actuators, [GaussianField · width + lane]
};

}  // namespace zam
