// Grid generators and line evaluation, exactly.
#include <cmath>
#include <limits>

#include "tests/cpp/bits.hpp"
#include "zam/failure.hpp"
#include "zam/geometry.hpp"

namespace {

using zam::Line;
using zam::Vec2D;
using zam::Vec3D;

TEST(Linspace, EmptyAndSingle) {
    EXPECT_TRUE(Vec2D::linspace({0, 0}, {1, 1}, 0).empty());
    EXPECT_TRUE(Vec2D::linspread({0, 0}, {1, 1}, 0).empty());
    const auto one = Vec2D::linspace({-3, 2}, {5, 7}, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], (Vec2D{-3, 2}));  // the start, not the midpoint
    const auto mid = Vec2D::linspread({-3, 2}, {5, 7}, 1);
    ASSERT_EQ(mid.size(), 1u);
    EXPECT_BITS_EQ(mid[0].x, 0.5 * 5 + 0.5 * -3);
    EXPECT_BITS_EQ(mid[0].y, 0.5 * 7 + 0.5 * 2);
}

TEST(Linspace, EndPointsIncluded) {
    const auto p = Vec2D::linspace({0, 0}, {1, 0}, 5);
    ASSERT_EQ(p.size(), 5u);
    const double expected[] = {0.0, 0.25, 0.5, 0.75, 1.0};
    for (int k = 0; k < 5; ++k) EXPECT_BITS_EQ(p[k].x, expected[k]);
}

TEST(Linspread, CellCentres) {
    const auto p = Vec2D::linspread({-1, 0}, {1, 0}, 4);
    ASSERT_EQ(p.size(), 4u);
    const double expected[] = {-0.75, -0.25, 0.25, 0.75};
    for (int k = 0; k < 4; ++k) {
        EXPECT_BITS_EQ(p[k].x, expected[k]);
        EXPECT_BITS_EQ(p[k].y, 0.0);
    }
}

TEST(Linspread, DegenerateSegmentRepeatsThePoint) {
    for (const auto& p : Vec2D::linspread({2.5, -1.5}, {2.5, -1.5}, 6)) {
        EXPECT_EQ(p, (Vec2D{2.5, -1.5}));
    }
}

TEST(Linspace, HugeCountIsACapacityOverflow) {
    EXPECT_THROW(Vec2D::linspace({0, 0}, {1, 1}, std::numeric_limits<std::size_t>::max()),
                 zam::Failure);
}

TEST(Line, PointAtHeight) {
    const Line line{1, 0.5, -2, 0};
    EXPECT_EQ(line.at(10), (Vec2D{6, -2}));
    EXPECT_EQ(line.at(0), (Vec2D{1, -2}));
    // At height 0 the point is x0 + xz·0, so an infinite slope gives not-a-number.
    const Line steep{1, std::numeric_limits<double>::infinity(), 0, 0};
    EXPECT_TRUE(std::isnan(steep.at(0).x));
}

TEST(Line, ThroughTwoPoints) {
    const Line l = Line::through({1, -1, 0}, {0.5, 2, 10});
    EXPECT_BITS_EQ(l.xz, (0.5 - 1) / 10.0);
    EXPECT_BITS_EQ(l.yz, (2 - -1) / 10.0);
    EXPECT_BITS_EQ(l.x0, 1 - (0 / 10.0) * (0.5 - 1));
    EXPECT_BITS_EQ(l.y0, -1 - (0 / 10.0) * (2 - -1));
    // A target at height 0 gives not-a-number intercepts.
    const Line flat = Line::through({1, 0, 0}, {0, 0, 0});
    EXPECT_TRUE(std::isnan(flat.x0));
}

}  // namespace
