// Von Kármán layer covariance between two lines, exactly.
#include <cmath>

#include "tests/cpp/bits.hpp"
#include "zam/turbulence.hpp"

namespace {

using namespace zam;

const Line straight_up{0, 0, 0, 0};

TEST(Turbulence, NoLayersGiveNegativeZero) {
    EXPECT_BITS_EQ(cosample_lines({}, straight_up, {1, 2, 3, 4}, 0.5), -0.0);
}

TEST(Turbulence, OnlyTheSeparationAtTheLayersAltitudeMatters) {
    const VonKarmanLayer ground{0.1, 10, 0, {0, 0}}, high{0.1, 10, 1000, {0, 0}};
    // Zero separation, whatever the lines' slopes.
    const Line slanted{0.3, 1e-3, -0.2, 2e-3};
    EXPECT_BITS_EQ(cosample_lines({high}, slanted, slanted, 0.0),
                   cosample_lines({ground}, straight_up, straight_up, 0.0));
    // One metre apart where the lines cross the layer.
    const double one_apart = cosample_lines({ground}, straight_up, {1, 0, 0, 0}, 0.0);
    EXPECT_BITS_EQ(cosample_lines({high}, straight_up, {0, 1.0 / 1000, 0, 0}, 0.0), one_apart);
}

TEST(Turbulence, WindShiftsTheSecondLine) {
    const double one_apart = cosample_lines({{0.1, 10, 0, {0, 0}}}, straight_up, {1, 0, 0, 0}, 0.0);
    const VonKarmanLayer windy{0.1, 10, 0, {10, 0}};
    EXPECT_BITS_EQ(cosample_lines({windy}, straight_up, straight_up, 0.1), one_apart);
    EXPECT_BITS_EQ(cosample_lines({windy}, straight_up, straight_up, -0.1), one_apart);
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
