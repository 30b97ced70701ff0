// The vectorised exp and covariance kernels against the C library and the scalar kernel, bit for
// bit.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tests/cpp/bits.hpp"
#include "zam/covmat.hpp"
#include "zam/imat.hpp"
#include "zam/parallel.hpp"
#include "zam/simd.hpp"

namespace {

using namespace zam;

// Each test runs once per vector level, and reports a skip where this CPU lacks the level.
class Simd : public testing::TestWithParam<SimdLevel> {
protected:
    void SetUp() override {
        if (!simd_supported(GetParam())) GTEST_SKIP() << "this CPU lacks the level";
    }
};

INSTANTIATE_TEST_SUITE_P(Levels, Simd, testing::Values(SimdLevel::avx2, SimdLevel::avx512),
                         [](const auto& test) {
                             return test.param == SimdLevel::avx2 ? "avx2" : "avx512";
                         });

// Counts lanes whose exp differs from the C library's in any bit (NaN matches NaN).
std::size_t exp_mismatches(SimdLevel level, const std::vector<double>& args) {
    std::vector<double> got(args.size());
    simd_exp(level, args.data(), got.data(), args.size());
    std::size_t bad = 0;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const double want = std::exp(args[k]);
        if (std::bit_cast<std::uint64_t>(got[k]) != std::bit_cast<std::uint64_t>(want) &&
            !(std::isnan(got[k]) && std::isnan(want))) {
            ++bad;
        }
    }
    return bad;
}

TEST_P(Simd, ExpEqualsTheCLibraryEverywhere) {
    std::mt19937_64 rng(2024);
    std::vector<double> args;
    // The kernel's range, densely.
    std::uniform_real_distribution<double> band(-50.0, 0.0);
    for (int k = 0; k < 2'000'000; ++k) args.push_back(band(rng));
    // The whole vector band and beyond it on both sides.
    std::uniform_real_distribution<double> wide(-1100.0, 720.0);
    for (int k = 0; k < 500'000; ++k) args.push_back(wide(rng));
    // Random bit patterns: every magnitude, subnormals, infinities, NaNs.
    for (int k = 0; k < 500'000; ++k) args.push_back(std::bit_cast<double>(rng()));
    // Edges of the band and of the small-argument branch, and special values.
    for (double edge : {512.0, 0x1p-54, 0x1p-1022, 5e-324, 1.0, 709.78, 745.2}) {
        double x = edge;
        for (int k = 0; k < 64; ++k) {
            args.push_back(x);
            args.push_back(-x);
            x = std::nextafter(x, 0.0);
        }
    }
    for (double special :
         {0.0, -0.0, std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
          -24.014441672988607, -0.0036595391194988685}) {
        args.push_back(special);
    }
    EXPECT_EQ(exp_mismatches(GetParam(), args), 0u);
}

TEST(SimdExp, LevelInUsePassedItsChecks) {
    const SimdLevel level = simd_level();
    EXPECT_TRUE(simd_supported(level));
    std::printf("vector level in use: %d (lanes %zu)\n", static_cast<int>(level),
                simd_width(level));
}

std::vector<Measurement> measurements(std::size_t n, unsigned seed, bool mixed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> pos(-4, 4), dir(-1e-4, 1e-4);
    std::vector<Measurement> ms;
    for (std::size_t k = 0; k < n; ++k) {
        const Line c{pos(rng), dir(rng), pos(rng), dir(rng)};
        const double inf = std::numeric_limits<double>::infinity();
        // Mixed lists interleave bundle sizes 0, 1, 2 and 6 so blocks and single columns alternate.
        const std::size_t kind = mixed ? (rng() % 7) : 2;
        switch (kind) {
            case 0: ms.emplace_back(Zero{}); break;
            case 1: ms.emplace_back(Phase{c}); break;
            case 2: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.5, {0, 1}, 1, 90000.0}); break;
            case 3: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.4, {0.6, -0.8}, 3, inf}); break;
            default: ms.emplace_back(SlopeTwoEdge{c, 0.5, 0.5, {1, -0.0}, 1, inf}); break;
        }
    }
    return ms;
}

const VonKarmanLayers layers = {{0.21575883, 60, 0, {10, 0}},
                                {0.76709884, 60, 1800, {10, 1}},
                                {0.59536035, 25, 3300, {12, -2}},
                                {2.062782, 60, 15800, {20, -8}}};

TEST_P(Simd, CovarianceEqualsTheScalarKernel) {
    const SimdLevel level = GetParam();
    for (CovarianceModel model : {CovarianceModel::closed_form, CovarianceModel::exact}) {
        for (bool mixed : {false, true}) {
            for (std::size_t ncols : {1u, 3u, 4u, 9u, 37u}) {
                const auto rows = measurements(19, 11, mixed);
                const auto cols = measurements(ncols, 12, mixed);
                for (double lag : {0.0, 0.003, std::numeric_limits<double>::infinity()}) {
                    const DenseMatrix scalar =
                        matrix(CovMat(rows, cols, layers, lag, SimdLevel::none, model));
                    const DenseMatrix vector =
                        matrix(CovMat(rows, cols, layers, lag, level, model));
                    for (std::size_t k = 0; k < scalar.size(); ++k) {
                        ASSERT_BITS_EQ(vector.data()[k], scalar.data()[k])
                            << "model " << static_cast<int>(model) << " mixed " << mixed
                            << " ncols " << ncols << " lag " << lag << " at " << k;
                    }
                }
            }
        }
    }
}

TEST(SimdCovariance, ScalarBlockFollowsTheDefinition) {
    // One lane at level none, both models: terms within 2 and beyond x = 2 (l0 = 8).
    const LayerConstants constants[2] = {layer_constants({0.2, 30, 0, {0, 0}}),
                                         layer_constants({0.5, 8, 0, {0, 0}})};
    const Vec2D row_points[4] = {{0.1, 0.2}, {-1.0, 3.0}, {2.0, -0.5}, {0.0, 0.0}};
    const double row_weights[2] = {0.5, -0.5};
    const double points[12] = {0.3, 0.1, 1.5, 0.4, -2.0, 1.0, 0.0, 0.0, 4.0, -3.0, 0.7, 2.2};
    const double weights[3] = {0.3, -0.2, 0.9};
    for (CovarianceModel model : {CovarianceModel::closed_form, CovarianceModel::exact}) {
        double out = 0.0;
        covariance_block(SimdLevel::none,
                         {row_points, row_weights, 2, constants, 2, points, weights, 3, &out},
                         model);
        double total = -0.0;
        for (std::size_t a = 0; a < 2; ++a) {
            double inner = -0.0;
            for (std::size_t b = 0; b < 3; ++b) {
                double cov = -0.0;
                for (std::size_t l = 0; l < 2; ++l) {
                    const double dx = row_points[a * 2 + l].x - points[(b * 2 + l) * 2];
                    const double dy = row_points[a * 2 + l].y - points[(b * 2 + l) * 2 + 1];
                    cov = cov + (model == CovarianceModel::exact
                                     ? exact_layer_term(constants[l], dx, dy)
                                     : layer_term(constants[l], dx, dy));
                }
                inner = inner + (cov * row_weights[a]) * weights[b];
            }
            total = total + inner;
        }
        EXPECT_BITS_EQ(out, total) << static_cast<int>(model);
    }
}

TEST_P(Simd, FarApartLinesTakeTheScalarExpPath) {
    // Separations whose exp argument passes -512 go lane by lane to the C library.
    std::vector<Measurement> near, far;
    for (int k = 0; k < 8; ++k) {
        near.emplace_back(Phase{{0.1 * k, 0, 0, 0}});
        far.emplace_back(Phase{{6000.0 + 1000.0 * k, 0, 0, 0}});
    }
    const VonKarmanLayers one = {{0.2, 60, 0, {0, 0}}};
    const DenseMatrix scalar = matrix(CovMat(near, far, one, 0.0, SimdLevel::none));
    const DenseMatrix vector = matrix(CovMat(near, far, one, 0.0, GetParam()));
    for (std::size_t k = 0; k < scalar.size(); ++k) {
        EXPECT_BITS_EQ(vector.data()[k], scalar.data()[k]);
    }
}

TEST_P(Simd, InteractionEqualsTheScalarKernel) {
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> pos(-4, 4), size(0.05, 1.0);
    std::vector<Actuator> cols;
    for (int k = 0; k < 45; ++k) {
        // Runs of Gaussians broken by tip-tilt and zero actuators, two mirror altitudes.
        if (k % 11 == 5)
            cols.emplace_back(TipTilt{{pos(rng), pos(rng)}});
        else if (k % 13 == 7)
            cols.emplace_back(Zero{});
        else
            cols.emplace_back(
                Gaussian{size(rng), {pos(rng), pos(rng), k % 3 ? 0.0 : 12000.0}, size(rng)});
    }
    // Degenerate widths: zero and infinite sigma, a not-a-number position.
    cols[0] = Gaussian{0.0, {0, 0, 0}, 1.0};
    cols[1] = Gaussian{std::numeric_limits<double>::infinity(), {1, 1, 0}, 1.0};
    cols[2] = Gaussian{0.3, {std::numeric_limits<double>::quiet_NaN(), 0, 0}, 1.0};
    const auto rows = measurements(29, 32, true);
    const DenseMatrix scalar =
        matrix(IMat<Actuator>(rows, cols, IMat<Actuator>::Bundles::prebuilt, SimdLevel::none));
    const DenseMatrix vector =
        matrix(IMat<Actuator>(rows, cols, IMat<Actuator>::Bundles::prebuilt, GetParam()));
    for (std::size_t k = 0; k < scalar.size(); ++k) {
        ASSERT_BITS_EQ(vector.data()[k], scalar.data()[k]) << k;
    }
    // Per-element bundles fill whole matrices too, column by column.
    const DenseMatrix per_element =
        matrix(IMat<Actuator>(rows, cols, IMat<Actuator>::Bundles::per_element));
    for (std::size_t k = 0; k < scalar.size(); ++k) {
        ASSERT_BITS_EQ(per_element.data()[k], scalar.data()[k]) << k;
    }
}

}  // namespace
