// Parallel evaluation of interaction and covariance matrices against the element-wise definition.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include <oneapi/tbb/global_control.h>

#include "tests/cpp/bits.hpp"
#include "zam/actuator.hpp"
#include "zam/covmat.hpp"
#include "zam/imat.hpp"
#include "zam/parallel.hpp"
#include "zam/pupil.hpp"

namespace {

using namespace zam;
constexpr double inf = std::numeric_limits<double>::infinity();

// A mixed list of every measurement kind, slopes towards finite and infinite sources.
std::vector<Measurement> mixed_measurements(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> pos(-4, 4), dir(-1e-4, 1e-4);
    std::vector<Measurement> ms;
    for (std::size_t k = 0; k < n; ++k) {
        const Line c{pos(rng), dir(rng), pos(rng), dir(rng)};
        switch (k % 5) {
            case 0: ms.emplace_back(Phase{c}); break;
            case 1:
                ms.emplace_back(SlopeTwoLine{c, {pos(rng), dir(rng), pos(rng), dir(rng)}});
                break;
            case 2: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.5, {0, 1}, 1, inf}); break;
            case 3: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.4, {0.6, -0.8}, 3, 90000.0}); break;
            default: ms.emplace_back(Zero{}); break;
        }
    }
    return ms;
}

// `run` adjacent measurements of each kind in turn (bundle sizes 1, 2, 2, 6 and 0), so that
// columns share vector blocks wherever a vector level is in use.
std::vector<Measurement> runs_of_equal_bundles(std::size_t run, unsigned seed) {
    const auto all = mixed_measurements(5 * run, seed);
    std::vector<Measurement> ms;
    for (std::size_t kind = 0; kind < 5; ++kind) {
        for (std::size_t k = 0; k < run; ++k) ms.push_back(all[5 * k + kind]);
    }
    return ms;
}

const VonKarmanLayers layers = {{0.21575883, 60, 0, {10, 0}},
                                {0.76709884, 60, 1800, {10, 1}},
                                {0.59536035, 25, 3300, {12, -2}}};

// Every element of m, bit for bit, is element(i, j).
template <class Element>
void expect_elements(const DenseMatrix& m, std::size_t rows, std::size_t cols, Element element) {
    ASSERT_EQ(m.rows(), rows);
    ASSERT_EQ(m.cols(), cols);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            EXPECT_BITS_EQ(m(i, j), element(i, j)) << i << "," << j;
        }
    }
}

// The layers read with the exact model, line by line as cosample_lines reads them with f.
struct ExactTurbulence {
    const VonKarmanLayers& layers;
};

double cosample_lines(const ExactTurbulence& turbulence, const Line& a, const Line& b, double t) {
    double sum = -0.0;
    for (const VonKarmanLayer& layer : turbulence.layers) {
        const Vec2D pa = a.at(layer.alt), pb = b.at(layer.alt);
        const Vec2D shifted{pb.x - layer.v.x * t, pb.y - layer.v.y * t};
        sum = sum + exact_layer_term(layer_constants(layer), pa.x - shifted.x, pa.y - shifted.y);
    }
    return sum;
}

TEST(Evaluation, CovarianceMatricesOfBothModelsEqualTheDefinition) {
    const auto rows = mixed_measurements(23, 1);
    // Columns of alternating kinds (one at a time), then in runs (whole vector blocks).
    for (const auto& cols : {mixed_measurements(17, 2), runs_of_equal_bundles(11, 2)}) {
        for (double lag : {0.0, 0.002, -0.5}) {
            expect_elements(
                matrix(CovMat(rows, cols, layers, lag)), rows.size(), cols.size(),
                [&](auto i, auto j) { return cosample(rows[i], cols[j], layers, lag); });
            expect_elements(
                matrix(CovMat(rows, cols, layers, lag, simd_level(), CovarianceModel::exact)),
                rows.size(), cols.size(), [&](auto i, auto j) {
                    return cosample(rows[i], cols[j], ExactTurbulence{layers}, lag);
                });
        }
    }
}

TEST(Evaluation, NonFiniteWindAndLagFollowTheDefinition) {
    const auto ms = mixed_measurements(6, 3);
    const VonKarmanLayers odd = {{0.2, 30, 100, {inf, 0}}, {0.2, 30, 100, {1, 2}}};
    for (double lag : {0.0, inf, std::numeric_limits<double>::quiet_NaN()}) {
        expect_elements(matrix(CovMat(ms, ms, odd, lag)), ms.size(), ms.size(),
                        [&](auto i, auto j) { return cosample(ms[i], ms[j], odd, lag); });
    }
}

TEST(Evaluation, InteractionMatrixEqualsTheDefinition) {
    const auto rows = mixed_measurements(31, 4);
    std::vector<Actuator> cols = {Gaussian{0.4, {0, 0, 0}, 1}, TipTilt{{0, 2}}, Zero{},
                                  Gaussian{0.3, {1, -1, 5000}, 0.7}, TipTilt{{-1, -0.0}}};
    // A run of Gaussians long enough for vector blocks, at two altitudes.
    for (int k = 0; k < 19; ++k) {
        cols.push_back(Gaussian{
            0.2 + 0.03 * k, {0.4 * k - 4, 2 - 0.2 * k, k % 2 ? 0.0 : 9000.0}, 0.5 + 0.1 * k});
    }
    expect_elements(matrix(IMat<Actuator>(rows, cols)), rows.size(), cols.size(),
                    [&](auto i, auto j) { return sample(rows[i], cols[j]); });
}

TEST(Evaluation, EmptyShapes) {
    const std::vector<Measurement> none;
    const auto rows = mixed_measurements(3, 5);
    const std::vector<Actuator> no_actuators;
    EXPECT_EQ(matrix(IMat<Actuator>(none, no_actuators)).rows(), 0u);
    const DenseMatrix no_columns = matrix(IMat<Actuator>(rows, no_actuators));
    EXPECT_EQ(no_columns.rows(), 3u);
    EXPECT_EQ(no_columns.cols(), 0u);
    EXPECT_TRUE(samples(IMat<Actuator>(rows, no_actuators), {}).empty());
    // No layers: every covariance is the empty sum.
    const DenseMatrix c = matrix(CovMat(rows, rows, {}, 0.0));
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(c(i, j), 0.0);
    }
}

TEST(Evaluation, FlatMatrixOfOneColumn) {
    const auto rows = mixed_measurements(12, 6);
    const Pupil pupil{3.0, 0.5, 0.2, {{{0, 0}, {3, 3}}}};
    const std::vector<double> flat =
        flat_matrix(IMat<Pupil>(rows, std::span<const Pupil>(&pupil, 1)));
    ASSERT_EQ(flat.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_BITS_EQ(flat[i], sample(rows[i], pupil));
}

TEST(Evaluation, SamplesInRequestOrder) {
    const auto rows = mixed_measurements(4, 7);
    const std::vector<Actuator> cols = {Gaussian{0.5, {0, 0, 0}, 1}, TipTilt{{1, 0}}};
    const IMat<Actuator> m(rows, cols, IMat<Actuator>::Bundles::per_element);
    const DenseMatrix full = matrix(IMat<Actuator>(rows, cols));
    const auto got = samples(m, {{2, 0}, {0, 1}, {2, 0}, {3, 1}});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_BITS_EQ(got[0], full(2, 0));
    EXPECT_BITS_EQ(got[1], full(0, 1));
    EXPECT_BITS_EQ(got[2], full(2, 0));
    EXPECT_BITS_EQ(got[3], full(3, 1));
}

TEST(Evaluation, OutOfRangeSamplesFailTheWholeEvaluation) {
    const auto rows = mixed_measurements(4, 8);
    const std::vector<Actuator> cols = {TipTilt{{1, 0}}, TipTilt{{0, 1}}};
    const IMat<Actuator> m(rows, cols);
    const auto message_of = [&](std::vector<std::pair<std::size_t, std::size_t>> indices) {
        try {
            samples(m, std::move(indices));
        } catch (const Failure& f) {
            return f.message();
        }
        return std::string("no failure");
    };
    EXPECT_EQ(message_of({{4, 0}}), "index out of bounds: the len is 4 but the index is 4");
    EXPECT_EQ(message_of({{1, 2}}), "index out of bounds: the len is 2 but the index is 2");
    EXPECT_EQ(message_of({{9, 9}}), "index out of bounds: the len is 4 but the index is 9");
    std::vector<std::pair<std::size_t, std::size_t>> many(5000, {1, 1});
    many[4321] = {0, 7};
    EXPECT_EQ(message_of(many), "index out of bounds: the len is 2 but the index is 7");
}

TEST(Evaluation, LagZeroCovarianceIsNearlySymmetric) {
    const auto ms = mixed_measurements(10, 9);
    const DenseMatrix m = matrix(CovMat(ms, ms, layers, 0.0));
    for (std::size_t i = 0; i < ms.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NEAR(m(i, j), m(j, i), 1e-12 * std::max(1.0, std::fabs(m(i, j))));
        }
    }
}

TEST(Evaluation, IdenticalOnAnyNumberOfWorkers) {
    const auto rows = mixed_measurements(40, 10), cols = runs_of_equal_bundles(9, 11);
    for (CovarianceModel model : {CovarianceModel::closed_form, CovarianceModel::exact}) {
        const DenseMatrix usual = matrix(CovMat(rows, cols, layers, 0.001, simd_level(), model));
        // From the calling thread alone (no workers at all) to more threads than CPUs.
        const std::size_t most = std::max(4u, std::thread::hardware_concurrency() + 1);
        for (std::size_t workers = 1; workers <= most; ++workers) {
            oneapi::tbb::global_control limit(oneapi::tbb::global_control::max_allowed_parallelism,
                                              workers);
            const DenseMatrix m = matrix(CovMat(rows, cols, layers, 0.001, simd_level(), model));
            for (std::size_t k = 0; k < m.size(); ++k) {
                ASSERT_BITS_EQ(m.data()[k], usual.data()[k])
                    << workers << " workers, element " << k;
            }
        }
    }
}

// A matrix whose element (failing_row, 0) fails, counting the elements it evaluates.
struct FailingMatrix {
    std::size_t rows, cols, failing_row;
    mutable std::atomic<std::size_t> evaluated{0};

    std::size_t nrows() const { return rows; }
    std::size_t ncols() const { return cols; }
    double element(std::size_t i, std::size_t j) const {
        evaluated.fetch_add(1, std::memory_order_relaxed);
        if (i == failing_row && j == 0) throw Failure("element fails");
        double x = static_cast<double>(i * cols + j);
        for (int k = 0; k < 200; ++k) x = std::sqrt(x + 1.0);  // a little work per element
        return x;
    }
};

TEST(Evaluation, AFailingElementStopsTheRemainingWork) {
    FailingMatrix m{2000, 500, 3};
    EXPECT_THROW(matrix(m), Failure);
    // Only the work already under way when the failure was raised goes on.
    EXPECT_LT(m.evaluated.load(), m.rows * m.cols / 10) << m.evaluated.load();
}

}  // namespace
