// Von Kármán layer covariance between two lines, exactly.
#include <cmath>

#include "tests/cpp/bits.hpp"
#include "zam/turbulence.hpp"

namespace {

using namespace zam;

const Line straight_up{0, 0, 0, 0};

// One layer's term, written out in the documented order.
double term(const VonKarmanLayer& layer, double r) {
    const double x = (6.283185307179586 / layer.l0) * r;
    const double f = ((1.7404436 * x + 1.0) * (1.0056349 * std::exp(-0.9359968 * x))) / (x + 1.0);
    return (std::pow(layer.l0 / layer.r0, 5.0 / 3.0) * 0.08583068106228546) * f;
}

TEST(Turbulence, NoLayersGiveNegativeZero) {
    EXPECT_BITS_EQ(cosample_lines({}, straight_up, {1, 2, 3, 4}, 0.5), -0.0);
}

TEST(Turbulence, ZeroSeparationVariance) {
    const VonKarmanLayer layer{0.1, 10, 0, {0, 0}};
    const double expected = -0.0 + (std::pow(10 / 0.1, 5.0 / 3.0) * 0.08583068106228546) *
                                       ((1.0 * (1.0056349 * 1.0)) / 1.0);
    EXPECT_BITS_EQ(cosample_lines({layer}, straight_up, straight_up, 0.0), expected);
    // Whatever the line's slopes.
    const Line slanted{0.3, 1e-3, -0.2, 2e-3};
    EXPECT_BITS_EQ(cosample_lines({{0.1, 10, 500, {0, 0}}}, slanted, slanted, 0.0), expected);
}

TEST(Turbulence, SeparationAtTheLayersAltitude) {
    const VonKarmanLayer layer{0.1, 10, 1000, {0, 0}};
    EXPECT_BITS_EQ(cosample_lines({layer}, straight_up, {0, 1.0 / 1000, 0, 0}, 0.0),
                   term(layer, 1.0));
}

TEST(Turbulence, WindShiftsTheSecondLine) {
    const VonKarmanLayer layer{0.1, 10, 0, {10, 0}};
    const double one_apart = term(layer, 1.0);
    EXPECT_BITS_EQ(cosample_lines({layer}, straight_up, straight_up, 0.1), one_apart);
    EXPECT_BITS_EQ(cosample_lines({layer}, straight_up, straight_up, -0.1), one_apart);
    EXPECT_BITS_EQ(cosample_lines({{0.1, 10, 0, {0, 0}}}, straight_up, {1, 0, 0, 0}, 0.0),
                   one_apart);
}

TEST(Turbulence, LayersAddInOrder) {
    const VonKarmanLayer layer{0.3, 25, 2000, {3, -4}};
    const Line a{0.1, 1e-5, 0.2, 0}, b{-0.4, 0, 0.1, 2e-5};
    const double one = cosample_lines({layer}, a, b, 0.02);
    EXPECT_BITS_EQ(cosample_lines({layer, layer}, a, b, 0.02), (-0.0 + one) + one);
}

TEST(Turbulence, OnlyCrossingPointsMatter) {
    const VonKarmanLayer layer{0.2, 30, 5000, {0, 0}};
    const Line a{0.0, 1e-4, 0.0, 0.0}, b{1.0, -1e-4, 0.0, 0.0};  // cross at (0.5, 0) at 5000
    EXPECT_BITS_EQ(cosample_lines({layer}, a, b, 0.0), cosample_lines({layer}, a, a, 0.0));
}

TEST(Turbulence, DegenerateParameters) {
    EXPECT_TRUE(std::isnan(cosample_lines({{0.1, 0.0, 0, {0, 0}}}, straight_up, straight_up, 0)));
    EXPECT_TRUE(std::isinf(cosample_lines({{0.0, 10, 0, {0, 0}}}, straight_up, straight_up, 0)));
}

}  // namespace
