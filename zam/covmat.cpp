// Covariance elements from precomputed bundles and piercing points.
#include "zam/covmat.hpp"

#include <algorithm>
#include <utility>

#include "zam/failure.hpp"

namespace zam {

CovMat::CovMat(std::span<const Measurement> rows, std::span<const Measurement> columns,
               const VonKarmanLayers& turbulence, double lag, SimdLevel level,
               CovarianceModel model)
    : CovMat(BundleSet(rows), BundleSet(columns), turbulence, lag, level, model) {}

CovMat::CovMat(BundleSet rows, BundleSet columns, const VonKarmanLayers& turbulence, double lag,
               SimdLevel level, CovarianceModel model)
    : rows_(std::move(rows)),
      columns_(std::move(columns)),
      level_(level),
      model_(model),
      exact_fma_(model == CovarianceModel::exact && fused_multiply_add_usable()),
      width_(simd_width(level)) {
    constants_.reserve(turbulence.size());
    for (const VonKarmanLayer& layer : turbulence) constants_.push_back(layer_constants(layer));
    // Row lines are read where they cross each layer; column lines there too, shifted by -v·t.
    row_points_ = piercing_points(rows_, turbulence, nullptr);
    column_points_ = piercing_points(columns_, turbulence, &lag);
    row_weights_.reserve(rows_.lines().size());
    for (const WeightedLine& wl : rows_.lines()) row_weights_.push_back(wl.weight);
    build_blocks();
}

void CovMat::build_blocks() {
    const std::size_t nlayers = constants_.size();
    const std::size_t ncols = columns_.size();
    if (width_ > 1) {
        // Vector blocks hold at most every column line: room for them all, taken once.
        block_points_.reserve(checked_mul(columns_.lines().size(), checked_mul(nlayers, 2)));
        block_weights_.reserve(columns_.lines().size());
    }
    std::size_t j = 0;
    while (j < ncols) {
        const std::size_t lines = columns_[j].size();
        bool vector = width_ > 1 && j + width_ <= ncols;
        for (std::size_t q = 1; vector && q < width_; ++q) vector = columns_[j + q].size() == lines;
        if (!vector) {
            blocks_.push_back({j, j + 1, 0});
            ++j;
            continue;
        }
        // Lane q of the block is column j + q: its lines and points, lane-interleaved.
        const std::size_t data = block_weights_.size();
        blocks_.push_back({j, j + width_, data});
        const std::size_t points = block_points_.size();
        block_points_.resize(checked_add(points, lines * nlayers * 2 * width_));
        block_weights_.resize(checked_add(data, lines * width_));
        for (std::size_t q = 0; q < width_; ++q) {
            const std::size_t first = columns_.offset(j + q);
            for (std::size_t b = 0; b < lines; ++b) {
                block_weights_[data + b * width_ + q] = columns_.lines()[first + b].weight;
                for (std::size_t l = 0; l < nlayers; ++l) {
                    const Vec2D p = column_points_[(first + b) * nlayers + l];
                    const std::size_t at = points + ((b * nlayers + l) * 2) * width_ + q;
                    block_points_[at] = p.x;
                    block_points_[at + width_] = p.y;
                }
            }
        }
        j += width_;
    }
}

std::vector<Vec2D> CovMat::piercing_points(const BundleSet& bundles, const VonKarmanLayers& layers,
                                           const double* lag) {
    const std::size_t nlayers = layers.size();
    const std::size_t count = checked_mul(bundles.lines().size(), nlayers);
    check_capacity<Vec2D>(count);
    std::vector<Vec2D> points(count);
    std::size_t n = 0;
    for (const WeightedLine& wl : bundles.lines()) {
        for (const VonKarmanLayer& layer : layers) {
            const Vec2D p = wl.line.at(layer.alt);
            points[n++] = lag ? Vec2D{p.x - layer.v.x * *lag, p.y - layer.v.y * *lag} : p;
        }
    }
    return points;
}

double CovMat::element(std::size_t i, std::size_t j) const {
    if (i >= nrows()) fail_index(nrows(), i);
    if (j >= ncols()) fail_index(ncols(), j);
    return element_in_range(i, j);
}

std::size_t CovMat::block_of(std::size_t j) const noexcept {
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), j,
                                        [](std::size_t c, const Block& b) { return c < b.begin; });
    return static_cast<std::size_t>(after - blocks_.begin()) - 1;
}

void CovMat::fill_block(std::size_t i, std::size_t block, double* out) const {
    const Block& b = blocks_[block];
    if (b.end - b.begin == 1) {
        out[0] = element_in_range(i, b.begin);
        return;
    }
    const std::size_t nlayers = constants_.size();
    const std::size_t first = rows_.offset(i);
    const std::size_t lines = columns_[b.begin].size();
    covariance_block(
        level_,
        {row_points_.data() + first * nlayers, row_weights_.data() + first, rows_[i].size(),
         constants_.data(), nlayers, block_points_.data() + b.data * nlayers * 2,
         block_weights_.data() + b.data, lines, out},
        model_);
}

// The element over a layer term; inlined into each caller, so that the fused multiply-adds of
// exact_element_fma's terms are instructions.
template <class Term>
[[gnu::always_inline]] inline double CovMat::element_sum(std::size_t i, std::size_t j,
                                                         Term term) const {
    const std::size_t nlayers = constants_.size();
    const LayerConstants* constants = constants_.data();
    const std::size_t a_begin = rows_.offset(i), a_end = rows_.offset(i + 1);
    const std::size_t b_begin = columns_.offset(j), b_end = columns_.offset(j + 1);
    const WeightedLine* row_lines = rows_.lines().data();
    const WeightedLine* column_lines = columns_.lines().data();

    double total = -0.0;
    for (std::size_t a = a_begin; a < a_end; ++a) {
        const Vec2D* pa = row_points_.data() + a * nlayers;
        const double wa = row_lines[a].weight;
        double inner = -0.0;
        for (std::size_t b = b_begin; b < b_end; ++b) {
            const Vec2D* pb = column_points_.data() + b * nlayers;
            double cov = -0.0;
            for (std::size_t l = 0; l < nlayers; ++l) {
                cov = cov + term(constants[l], pa[l].x - pb[l].x, pa[l].y - pb[l].y);
            }
            inner = inner + (cov * wa) * column_lines[b].weight;
        }
        total = total + inner;
    }
    return total;
}

double CovMat::element_in_range(std::size_t i, std::size_t j) const {
    if (exact_fma_) return exact_element_fma(i, j);
    return with_model(
        model_, [&](auto model) { return element_sum(i, j, ModelTerm<decltype(model)::value>{}); });
}

double CovMat::exact_element_fma(std::size_t i, std::size_t j) const {
    return element_sum(i, j, ExactTermFma{});
}

}  // namespace zam
