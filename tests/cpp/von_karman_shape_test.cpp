// The exact von Kármán shape against its 40-digit reference at every tabulated point, on every
// instruction level, and the exact layer term's small-separation and zero-separation limits.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tests/cpp/bits.hpp"
#include "zam/simd.hpp"
#include "zam/turbulence.hpp"
#include "zam/von_karman_shape.hpp"

namespace {

using namespace zam;

struct Reference {
    std::vector<double> s;      ///< squared arguments
    std::vector<double> shape;  ///< x^(5/6) K_5/6(x) at x = sqrt(s), nearest double
};

// tests/data/von_karman_shape.bin: little-endian (s, g) pairs
// (scripts/gen_von_karman_reference.py).
const Reference& reference() {
    static const Reference table = [] {
        Reference r;
        std::ifstream in(std::string(VEDOV_TEST_DATA_DIR) + "/von_karman_shape.bin",
                         std::ios::binary);
        double pair[2];
        while (in.read(reinterpret_cast<char*>(pair), sizeof pair)) {
            r.s.push_back(pair[0]);
            r.shape.push_back(pair[1]);
        }
        return r;
    }();
    return table;
}

class ShapeOnLevel : public testing::TestWithParam<SimdLevel> {};

TEST_P(ShapeOnLevel, WithinTheBoundsAtEveryReferencePoint) {
    const SimdLevel level = GetParam();
    if (!simd_supported(level)) GTEST_SKIP() << "this CPU lacks level " << static_cast<int>(level);
    const Reference& ref = reference();
    ASSERT_GE(ref.s.size(), 100000u);
    std::vector<double> got(ref.s.size());
    simd_von_karman_shape(level, ref.s.data(), got.data(), got.size());
    // The scalar level's other instance, the CPU's fused multiply-add, gives the same bits.
    const bool fma = level == SimdLevel::none && __builtin_cpu_supports("fma");
    double worst_relative = 0, worst_absolute = 0;
    std::size_t near = 0;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_BITS_EQ(got[k], von_karman_shape(ref.s[k])) << "s = " << ref.s[k];
        if (fma) {
            ASSERT_BITS_EQ(von_karman_shape_fma(ref.s[k]), got[k]) << "s = " << ref.s[k];
        }
        const double error = std::fabs(got[k] - ref.shape[k]);
        if (ref.s[k] <= 2500.0) {  // x <= 50
            ++near;
            worst_relative = std::max(worst_relative, error / ref.shape[k]);
            ASSERT_LE(error, 1e-13 * ref.shape[k]) << "s = " << ref.s[k];
        } else {
            worst_absolute = std::max(worst_absolute, error);
            ASSERT_LE(error, 1e-16) << "s = " << ref.s[k];
        }
    }
    std::printf(
        "%zu points (%zu with x <= 50): largest relative error %.3g, absolute beyond %.3g\n",
        got.size(), near, worst_relative, worst_absolute);
    // The table is shuffled, so its vectors mix ranges; in order of s most lie in one range,
    // which the vector instances evaluate from broadcast coefficients: the same bits.
    std::vector<double> sorted = ref.s;
    std::sort(sorted.begin(), sorted.end());
    simd_von_karman_shape(level, sorted.data(), got.data(), got.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_BITS_EQ(got[k], von_karman_shape(sorted[k])) << "s = " << sorted[k];
    }
}

std::string level_name(const testing::TestParamInfo<SimdLevel>& level) {
    const char* names[] = {"none", "avx2", "avx512"};
    return names[static_cast<int>(level.param)];
}

INSTANTIATE_TEST_SUITE_P(Levels, ShapeOnLevel,
                         testing::Values(SimdLevel::none, SimdLevel::avx2, SimdLevel::avx512),
                         level_name);

TEST(VonKarmanShape, InfinityAndNotANumberGiveNotANumber) {
    EXPECT_TRUE(std::isnan(von_karman_shape(std::numeric_limits<double>::infinity())));
    EXPECT_TRUE(std::isnan(von_karman_shape(std::numeric_limits<double>::quiet_NaN())));
}

TEST(ExactLayerTerm, VarianceIsTheScaleTimesTheShapeAtZero) {
    // 2^(-1/6) Γ(5/6) to the nearest double, whatever the layer; the bits as vedov forms the scale.
    for (const VonKarmanLayer& layer :
         {VonKarmanLayer{0.1, 10, 0, {0, 0}}, VonKarmanLayer{0.21575883, 60, 5000, {3, 4}}}) {
        const LayerConstants c = layer_constants(layer);
        EXPECT_BITS_EQ(exact_layer_term(c, 0.0, 0.0), c.scale * 1.0056349179985902);
    }
}

TEST(ExactLayerTerm, StructureFunctionTendsToKolmogorovAtSmallSeparations) {
    // D(r) = 2 (C(0) - C(r)) against Kolmogorov's 6.88 (r/r0)^(5/3) on one layer; the deviation
    // from the limit 2 (24/5 Γ(6/5))^(5/6) (r/r0)^(5/3) shrinks like (r/l0)^(1/3).
    const double r0 = 0.2, l0 = 30.0;
    const LayerConstants c = layer_constants({r0, l0, 0, {0, 0}});
    const auto ratio = [&](double r, double kolmogorov) {
        const double d = 2.0 * (exact_layer_term(c, 0.0, 0.0) - exact_layer_term(c, r, 0.0));
        return d / (kolmogorov * std::pow(r / r0, 5.0 / 3.0));
    };
    EXPECT_NEAR(ratio(1e-6 * l0, 6.88), 1.0, 0.02);
    const double limit = 6.8838771822938116;
    const double shrink = (1.0 - ratio(1e-4 * l0, limit)) / (1.0 - ratio(1e-6 * l0, limit));
    EXPECT_NEAR(shrink, std::cbrt(100.0), 1e-3);
}

}  // namespace
