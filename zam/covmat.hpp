// Covariance matrix of two measurement lists through the turbulence at a time lag.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "zam/core.hpp"
#include "zam/simd.hpp"
#include "zam/turbulence.hpp"

namespace zam {

/// Element (i, j) = the covariance of row measurement i (its lines first) with column measurement j
/// through the layers at lag t: for each pair of lines, the layer terms summed from -0.0 in layer
/// order, weighted (cov × wa) × wb, summed over b then over a, each from -0.0.
///
/// Built once per evaluation: the bundles of both lists, each layer's constants, every row line's
/// piercing point at each layer and every column line's point displaced by the layer's wind over t.
/// Element evaluation then allocates nothing and dispatches nothing.
///
/// Whole rows are filled block by block: a block is either one column, or as many adjacent columns
/// as the vector level has lanes when their bundles have equal sizes; such a block evaluates its
/// elements side by side, each in exactly the scalar element's order.
class CovMat {
public:
    /// Layer terms follow `model`: vedov's closed form unless the exact model is asked for.
    CovMat(std::span<const Measurement> rows, std::span<const Measurement> columns,
           const VonKarmanLayers& turbulence, double lag, SimdLevel level = simd_level(),
           CovarianceModel model = CovarianceModel::closed_form);
    /// The same over bundles built by the caller (of chosen measurements, say).
    CovMat(BundleSet rows, BundleSet columns, const VonKarmanLayers& turbulence, double lag,
           SimdLevel level = simd_level(), CovarianceModel model = CovarianceModel::closed_form);

    std::size_t nrows() const noexcept { return rows_.size(); }
    std::size_t ncols() const noexcept { return columns_.size(); }

    /// Checks i against nrows(), then j against ncols().
    double element(std::size_t i, std::size_t j) const;

    std::size_t nblocks() const noexcept { return blocks_.size(); }
    /// The columns [first, second) of a block: one, or as many as the vector level has lanes.
    std::pair<std::size_t, std::size_t> block_columns(std::size_t block) const noexcept {
        return {blocks_[block].begin, blocks_[block].end};
    }
    /// The block holding column j (j in range).
    std::size_t block_of(std::size_t j) const noexcept;
    /// Writes row i's elements of column block `block` to out[0 .. its width) (i and block in
    /// range).
    void fill_block(std::size_t i, std::size_t block, double* out) const;

private:
    // Points of every line at every layer, line n and layer l at [n · nlayers + l]; with a lag,
    // each point displaced by -v·t against its layer's wind.
    static std::vector<Vec2D> piercing_points(const BundleSet& bundles,
                                              const VonKarmanLayers& layers, const double* lag);

    double element_in_range(std::size_t i, std::size_t j) const;
    template <class Term>
    double element_sum(std::size_t i, std::size_t j, Term term) const;
    __attribute__((target("fma"))) double exact_element_fma(std::size_t i, std::size_t j) const;
    void build_blocks();

    struct Block {
        std::size_t begin;  ///< first column
        std::size_t end;    ///< one past the last column
        std::size_t data;   ///< offset of a vector block's points and weights, in lanes
    };

    BundleSet rows_;
    BundleSet columns_;
    std::vector<LayerConstants> constants_;
    std::vector<Vec2D> row_points_;
    std::vector<double> row_weights_;
    std::vector<Vec2D> column_points_;
    SimdLevel level_;
    CovarianceModel model_;
    bool exact_fma_;  ///< exact terms with the CPU's fused multiply-add
    std::size_t width_;
    std::vector<Block> blocks_;
    std::vector<double> block_points_;   ///< [(line · nlayers + layer) · 2 + xy][lane] per block
    std::vector<double> block_weights_;  ///< [line][lane] per block
};

}  // namespace zam
