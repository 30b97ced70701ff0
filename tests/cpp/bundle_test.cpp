// Measurement bundles and the sampling sums defined on them, exactly.
#include <cmath>
#include <limits>

#include "tests/cpp/bits.hpp"
#include "zam/actuator.hpp"
#include "zam/core.hpp"
#include "zam/failure.hpp"
#include "zam/turbulence.hpp"

namespace {

using namespace zam;
constexpr double inf = std::numeric_limits<double>::infinity();

SlopeTwoEdge edge(std::uint64_t n, double h, Line c = {0, 0, 0, 0}) {
    return {c, 2.0, 2.0, {1.0, 0.0}, n, h};
}

TEST(Bundle, ZeroAndPhase) {
    EXPECT_TRUE(get_bundle(Zero{}).empty());
    const Line l{1, 2, 3, 4};
    const Bundle b = get_bundle(Phase{l});
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0], (WeightedLine{l, 1.0}));
}

TEST(Bundle, SlopeTwoLineWeightsFromDistanceAtHeightZero) {
    const Bundle b = get_bundle(SlopeTwoLine{{1, 0.3, 0, -2}, {-1, 7, 0, 1}});
    ASSERT_EQ(b.size(), 2u);
    EXPECT_BITS_EQ(b[0].weight, 0.5);
    EXPECT_BITS_EQ(b[1].weight, -0.5);
    // Lines crossing at height 0: infinite weight.
    EXPECT_BITS_EQ(get_bundle(SlopeTwoLine{{1, 0, 1, 0}, {1, 5, 1, 0}})[0].weight, inf);
}

TEST(Bundle, SlopeTwoEdgeOnePointAtInfinity) {
    const Bundle b = get_bundle(edge(1, inf));
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0], (WeightedLine{{1, 0, 0, 0}, 0.5}));
    EXPECT_EQ(b[1], (WeightedLine{{-1, 0, 0, 0}, -0.5}));
}

TEST(Bundle, SlopeTwoEdgeTwoPointsAlternateSigns) {
    const Bundle b = get_bundle(edge(2, inf));
    ASSERT_EQ(b.size(), 4u);
    const double x0[] = {1, -1, 1, -1}, y0[] = {0.5, 0.5, -0.5, -0.5},
                 w[] = {0.25, -0.25, 0.25, -0.25};
    for (int k = 0; k < 4; ++k) {
        EXPECT_BITS_EQ(b[k].line.x0, x0[k]);
        EXPECT_BITS_EQ(b[k].line.y0, y0[k]);
        EXPECT_BITS_EQ(b[k].weight, w[k]);
    }
}

TEST(Bundle, SlopeTwoEdgeFiniteSourceConverges) {
    const Bundle b = get_bundle(edge(1, 10.0, {0, 0.1, 0, 0}));
    ASSERT_EQ(b.size(), 2u);
    EXPECT_BITS_EQ(b[0].line.x0, 1.0);
    EXPECT_BITS_EQ(b[1].line.x0, -1.0);
    EXPECT_BITS_EQ(b[0].line.xz, (1.0 - 1.0) / 10.0);
    EXPECT_BITS_EQ(b[1].line.xz, (1.0 - -1.0) / 10.0);
    for (const auto& wl : b) {  // both pass through the source (1, 0) at height 10
        EXPECT_DOUBLE_EQ(wl.line.at(10.0).x, 1.0);
        EXPECT_DOUBLE_EQ(wl.line.at(10.0).y, 0.0);
    }
}

TEST(Bundle, DegenerateSlopes) {
    EXPECT_TRUE(get_bundle(edge(0, inf)).empty());  // its infinite weight is never applied
    SlopeTwoEdge zero_sep = edge(1, inf);
    zero_sep.edge_separation = 0.0;
    EXPECT_BITS_EQ(get_bundle(zero_sep)[0].weight, inf);
    EXPECT_TRUE(std::isnan(get_bundle(edge(1, 0.0))[0].line.x0));  // finite altitude 0
    EXPECT_THROW(bundle_size(edge(std::numeric_limits<std::uint64_t>::max(), inf)), Failure);
}

TEST(Bundle, BundleSetMatchesSingleBundles) {
    const std::vector<Measurement> ms = {Zero{}, Phase{{1, 2, 3, 4}},
                                         edge(3, 10.0, {0.5, 1e-5, 0, 0}),
                                         SlopeTwoLine{{1, 0, 0, 0}, {0, 0, 1, 0}}, Zero{}};
    const BundleSet set(ms);
    ASSERT_EQ(set.size(), ms.size());
    for (std::size_t i = 0; i < ms.size(); ++i) {
        const Bundle single = get_bundle(ms[i]);
        ASSERT_EQ(set[i].size(), single.size());
        for (std::size_t k = 0; k < single.size(); ++k) EXPECT_EQ(set[i][k], single[k]);
    }
}

TEST(Sampling, EmptyBundlesGiveNegativeZero) {
    const Actuator g = Gaussian{1.0, {0, 0, 0}, 1.0};
    EXPECT_BITS_EQ(sample(Measurement{Zero{}}, g), -0.0);
    const VonKarmanLayers layers = {{0.1, 10, 0, {0, 0}}};
    EXPECT_BITS_EQ(cosample(Measurement{Zero{}}, Measurement{Phase{{0, 0, 0, 0}}}, layers, 0.0),
                   -0.0);
    EXPECT_BITS_EQ(cosample(Measurement{Phase{{0, 0, 0, 0}}}, Measurement{Zero{}}, layers, 0.0),
                   -0.0);
}

TEST(Sampling, PhaseIsTheObjectsValue) {
    const Line l{0.3, 0, 0.1, 0};
    const Actuator g = Gaussian{0.5, {0, 0, 0}, 2.0};
    EXPECT_BITS_EQ(sample(Measurement{Phase{l}}, g), -0.0 + 1.0 * sample_line(g, l));
}

TEST(Sampling, SlopeTwoEdgeAndTwoLineAgree) {
    const SlopeTwoEdge m = {{0.2, 0, -0.1, 0}, 0.5, 0.5, {1.0, 0.0}, 1, inf};
    const Bundle b = get_bundle(m);
    const Measurement two_line = SlopeTwoLine{b[0].line, b[1].line};
    const Actuator g = Gaussian{0.4, {0.1, 0.05, 0}, 1.0};
    EXPECT_NEAR(sample(Measurement{m}, g), sample(two_line, g), 1e-12);
}

}  // namespace
