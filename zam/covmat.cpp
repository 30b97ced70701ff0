// Covariance elements from precomputed bundles and piercing points.
#include "zam/covmat.hpp"

#include "zam/failure.hpp"

namespace zam {

CovMat::CovMat(std::span<const Measurement> rows, std::span<const Measurement> columns,
               const VonKarmanLayers& turbulence, double lag)
    : rows_(rows), columns_(columns) {
    constants_.reserve(turbulence.size());
    for (const VonKarmanLayer& layer : turbulence) constants_.push_back(layer_constants(layer));
    // Row lines are read where they cross each layer; column lines there too, shifted by -v·t.
    row_points_ = piercing_points(rows_, turbulence, nullptr);
    column_points_ = piercing_points(columns_, turbulence, &lag);
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
                cov = cov + layer_term(constants[l], pa[l].x - pb[l].x, pa[l].y - pb[l].y);
            }
            inner = inner + (cov * wa) * column_lines[b].weight;
        }
        total = total + inner;
    }
    return total;
}

}  // namespace zam
