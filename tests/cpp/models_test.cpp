// Actuator and pupil values along a line, exactly.
#include <cmath>
#include <limits>

#include "tests/cpp/bits.hpp"
#include "zam/actuator.hpp"
#include "zam/pupil.hpp"

namespace {

using namespace zam;

Line vertical(double x, double y) {
    return {x, 0.0, y, 0.0};
}

TEST(Actuator, GaussianOneSigmaAway) {
    const Gaussian g{0.3, {0.0, -2.0, 0.0}, 2.5};
    EXPECT_BITS_EQ(sample_line(Actuator{g}, vertical(0.3, -2.0)), 2.5 * std::exp(-0.5));
}

TEST(Actuator, GaussianEvaluatedAtItsHeight) {
    const Gaussian g{1.0, {1.0, 0.0, 1000.0}, 1.0};
    EXPECT_BITS_EQ(sample_line(Actuator{g}, {0, 1.0 / 1000, 0, 0}), 1.0);
}

TEST(Actuator, TipTiltAndZero) {
    EXPECT_BITS_EQ(sample_line(Actuator{TipTilt{{1.0, 0.0}}}, {0.3, 5, 7, 5}), 0.3);
    EXPECT_BITS_EQ(sample_line(Actuator{Zero{}}, {0.3, 5, 7, 5}), 0.0);
    // Zero width: nothing away from the centre, not-a-number at it.
    EXPECT_BITS_EQ(sample_line(Actuator{Gaussian{0.0, {0, 0, 0}, 1}}, vertical(1, 0)), 0.0);
    EXPECT_TRUE(std::isnan(sample_line(Actuator{Gaussian{0.0, {0, 0, 0}, 1}}, vertical(0, 0))));
}

struct PupilCase {
    double x, y, expected;
};

class PupilWithSpider : public ::testing::TestWithParam<PupilCase> {};

TEST_P(PupilWithSpider, Mask) {
    const Pupil pupil{1.0, 0.2, 0.1, {{{0, 0}, {1, 0}}}};
    const PupilCase c = GetParam();
    EXPECT_BITS_EQ(sample_line(pupil, {c.x, 3.0, c.y, -2.0}), c.expected) << c.x << "," << c.y;
}

INSTANTIATE_TEST_SUITE_P(Points, PupilWithSpider,
                         ::testing::Values(PupilCase{0.5, 0.04, 0.0}, PupilCase{0.5, 0.06, 1.0},
                                           PupilCase{0.5, 0.05, 1.0}, PupilCase{1.0, 0.5, 0.0},
                                           PupilCase{0.1, 0.1, 0.0}, PupilCase{-0.5, 0.04, 1.0},
                                           PupilCase{-0.03, 0.0, 0.0}, PupilCase{1.0, 0.0, 0.0},
                                           PupilCase{0.0, 1.0, 1.0}, PupilCase{0.0, 0.2, 1.0}));

TEST(Pupil, RimsAndDegenerateCases) {
    const Pupil open{2.0, 0.0, 0.0, {}};
    EXPECT_BITS_EQ(sample_line(open, vertical(2.0, 0.0)), 1.0);  // on the rim
    EXPECT_BITS_EQ(sample_line(open, vertical(0.0, -2.0)), 1.0);
    EXPECT_BITS_EQ(sample_line(open, vertical(2.0 + 1e-9, 0.0)), 0.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_BITS_EQ(sample_line(open, vertical(nan, 0.0)), 1.0);  // a NaN crossing counts as clear
    const Pupil inverted{1.0, 2.0, 0.0, {}};
    EXPECT_BITS_EQ(sample_line(inverted, vertical(1.5, 0.0)), 0.0);
    const Pupil point_spider{2.0, 0.0, 1.0, {{{0.5, 0.5}, {0.5, 0.5}}}};
    EXPECT_BITS_EQ(sample_line(point_spider, vertical(0.5, 0.5)), 1.0);  // never obstructs
}

}  // namespace
