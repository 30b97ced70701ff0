// Lattice detection on systems the builders make: runs, frames, compatibility, and what breaks
// them.
#include "zam/lattice.hpp"

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "vedov/builders.hpp"
#include "vedov/editing.hpp"

namespace {

using zam::Vec2D;
constexpr double inf = std::numeric_limits<double>::infinity();

struct Sensor {
    Vec2D direction;
    Vec2D shift;
    double clocking;
    double zoom;
};

// 16 x 16 subapertures on an 8 m pupil per sensor, all towards the same guide-star altitude.
vedov::SystemGeom sensors(const std::vector<Sensor>& list, double gsalt) {
    vedov::SystemGeom s = vedov::new_empty();
    std::vector<Vec2D> dirs, shifts;
    std::vector<double> clockings, zooms;
    for (const Sensor& w : list) {
        dirs.push_back(w.direction);
        shifts.push_back(w.shift);
        clockings.push_back(w.clocking);
        zooms.push_back(w.zoom);
    }
    vedov::add_meas(s, 8.0, 16, dirs, gsalt, shifts, clockings, zooms);
    return s;
}

// Measurements outside an annulus dropped, as a pupil projection leaves them.
void annulus(vedov::SystemGeom& s) {
    std::vector<bool> keep;
    for (const zam::Line& l : s.meas_lines) {
        const double r = std::hypot(l.x0, l.y0);
        keep.push_back(r < 4.0 && r > 1.2);
    }
    vedov::filter_meas(s, keep);
}

TEST(Lattices, EveryBuilderMakesThem) {
    vedov::SystemGeom s = sensors({{{0, 0}, {0, 0}, 0, 0}, {{20, -10}, {0.1, 0.2}, 0, 0}}, 90000);
    vedov::add_ts(s, 8.0, 9, std::vector<Vec2D>{{0, 0}, {5, 5}});
    vedov::add_phi(s, 8.0, 12);
    const zam::ListStructure meas = zam::find_lattices(s.meas);
    ASSERT_EQ(meas.lattices.size(), 4u);  // y then x slopes of each sensor
    EXPECT_TRUE(meas.broken.empty());
    for (std::size_t k = 0; k < 4; ++k) {
        const zam::Lattice& l = meas.lattices[k];
        EXPECT_EQ(l.first, k * 256);
        EXPECT_EQ(l.last, (k + 1) * 256);
        EXPECT_EQ(l.altitude, 90000.0);
        EXPECT_NEAR(l.frame.pitch(), 0.5, 1e-15);
        EXPECT_EQ(l.max_i - l.min_i, 15);
        EXPECT_EQ(l.max_j - l.min_j, 15);
        for (std::size_t m = 0; m < 4; ++m) {
            // The shifted sensor keeps the pitch and orientation: its lattices are compatible.
            EXPECT_TRUE(zam::compatible(l, meas.lattices[m]));
        }
    }
    const zam::ListStructure ts = zam::find_lattices(s.ts);
    ASSERT_EQ(ts.lattices.size(), 2u);
    EXPECT_EQ(ts.lattices[1].altitude, inf);
    EXPECT_NEAR(ts.lattices[1].frame.pitch(), 1.0, 1e-15);  // edge to edge: 8 m in 8 steps
    EXPECT_TRUE(zam::compatible(ts.lattices[0], ts.lattices[1]));
    EXPECT_FALSE(zam::compatible(ts.lattices[0], meas.lattices[0]));  // another altitude
    const zam::ListStructure phi = zam::find_lattices(s.phi);
    ASSERT_EQ(phi.lattices.size(), 1u);
    EXPECT_NEAR(phi.lattices[0].frame.pitch(), 8.0 / 12, 1e-15);
    EXPECT_FALSE(zam::compatible(phi.lattices[0], ts.lattices[0]));  // another pitch
}

TEST(Lattices, RotatedOrZoomedSensorsStandAlone) {
    vedov::SystemGeom s = sensors({{{0, 0}, {0, 0}, 0, 0},
                                   {{0, 0}, {0, 0}, 0.3, 0},
                                   {{0, 0}, {0, 0}, 0, 0.01},
                                   {{0, 0}, {0, 0}, std::acos(-1.0) / 2, 0}},
                                  inf);
    const zam::ListStructure meas = zam::find_lattices(s.meas);
    ASSERT_EQ(meas.lattices.size(), 8u);
    const auto ok = [&](std::size_t a, std::size_t b) {
        return zam::compatible(meas.lattices[a], meas.lattices[b]);
    };
    EXPECT_TRUE(ok(0, 1));
    EXPECT_TRUE(ok(2, 2));
    EXPECT_FALSE(ok(0, 2));  // rotated
    EXPECT_FALSE(ok(0, 4));  // zoomed
    EXPECT_TRUE(ok(0, 6));   // a quarter turn is the same square lattice
    EXPECT_NEAR(meas.lattices[4].frame.pitch(), 0.505, 1e-15);
}

TEST(Lattices, SurviveFiltersAndReordersWithinRuns) {
    vedov::SystemGeom s = sensors({{{10, 0}, {0, 0}, 0.2, 0}}, 90000);
    const zam::ListStructure whole = zam::find_lattices(s.meas);
    annulus(s);
    const std::size_t n = s.meas.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Each run reversed: any order within a run.
    std::reverse(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n / 2));
    std::reverse(order.begin() + static_cast<std::ptrdiff_t>(n / 2), order.end());
    vedov::reorder_meas(s, order);
    const zam::ListStructure kept = zam::find_lattices(s.meas);
    ASSERT_EQ(kept.lattices.size(), 2u);
    EXPECT_EQ(kept.lattices[0].last, n / 2);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_TRUE(zam::compatible(kept.lattices[k], whole.lattices[k]));
        // Sites keep their distances: the box of a ring has the full width.
        EXPECT_EQ(kept.lattices[k].max_i - kept.lattices[k].min_i, 15);
    }
    // Interleaving the two runs leaves runs of one: no lattice.
    std::vector<std::size_t> mixed;
    for (std::size_t k = 0; k < n / 2; ++k) {
        mixed.push_back(k);
        mixed.push_back(k + n / 2);
    }
    vedov::reorder_meas(s, mixed);
    EXPECT_TRUE(zam::find_lattices(s.meas).lattices.empty());
}

TEST(Lattices, OnePerturbedPointBreaksItsRun) {
    for (const double offset : {1e-3, 1e-9, 1e-12}) {
        vedov::SystemGeom s = sensors({{{0, 0}, {0, 0}, 0, 0}}, inf);
        std::get<zam::SlopeTwoEdge>(s.meas[40]).central_line.y0 += offset * 0.5;
        const zam::ListStructure meas = zam::find_lattices(s.meas);
        ASSERT_EQ(meas.lattices.size(), 1u) << offset;
        EXPECT_EQ(meas.lattices[0].first, 256u);  // the x slopes
        ASSERT_EQ(meas.broken.size(), 1u);
        EXPECT_EQ(meas.broken[0].last, 256u);
        EXPECT_NE(meas.broken[0].reason.find("measurement 40 lies"), std::string::npos)
            << meas.broken[0].reason;
        EXPECT_EQ(meas.sites[40].lattice, -1);
    }
    // A last-place change stays within the tolerance.
    vedov::SystemGeom s = sensors({{{0, 0}, {0, 0}, 0, 0}}, inf);
    double& y = std::get<zam::SlopeTwoEdge>(s.meas[40]).central_line.y0;
    y = std::nextafter(y, inf);
    EXPECT_EQ(zam::find_lattices(s.meas).lattices.size(), 2u);
}

TEST(Lattices, RunsThatAreNoLattice) {
    const auto phase = [](double x, double y) {
        return zam::Measurement(zam::Phase{{x, 0, y, 0}});
    };
    const auto reason = [](std::vector<zam::Measurement> list) {
        const zam::ListStructure s = zam::find_lattices(list);
        return s.broken.empty() ? std::string("lattice") : s.broken[0].reason;
    };
    EXPECT_EQ(reason({phase(0, 0), phase(1, 0), phase(3, 1)}), "lattice");
    EXPECT_EQ(reason({phase(0, 0), phase(1, 0), phase(1, 0)}), "lattice");  // a repeat
    EXPECT_EQ(reason({phase(1, 1), phase(1, 1)}), "every point is the same");
    EXPECT_EQ(reason({phase(0, 0), phase(1, 0), phase(40, 40)}),
              "the points fill too little of their lattice's box");
    EXPECT_EQ(reason({phase(0, 0), phase(std::nan(""), 0)}),
              "the point of measurement 1 is not finite");
    zam::SlopeTwoEdge slope{{0, 0, 0, 0}, 1, 1, {1, 0}, 1, 0.0};
    zam::SlopeTwoEdge next = slope;
    next.central_line.x0 = 1;
    EXPECT_EQ(reason({slope, next}), "the source altitude is neither +inf nor finite and non-zero");
    // One measurement alone, or of another kind, forms no run.
    const zam::ListStructure single = zam::find_lattices(
        std::vector<zam::Measurement>{phase(0, 0), zam::Zero{}, phase(1, 0), slope});
    EXPECT_TRUE(single.lattices.empty());
    EXPECT_TRUE(single.broken.empty());
}

TEST(Lattices, MemberAtASite) {
    vedov::SystemGeom s = sensors({{{3, 4}, {0.1, 0}, 0.1, 0}}, 90000);
    const zam::ListStructure meas = zam::find_lattices(s.meas);
    const zam::Lattice& l = meas.lattices[0];
    for (std::size_t k : {0u, 17u, 255u}) {
        const zam::LatticeSite& site = meas.sites[k];
        const zam::Measurement m = zam::lattice_member(s.meas, l, site.i, site.j);
        const auto& a = std::get<zam::SlopeTwoEdge>(m);
        const auto& b = std::get<zam::SlopeTwoEdge>(s.meas[k]);
        EXPECT_NEAR(a.central_line.x0, b.central_line.x0, 4e-15);
        EXPECT_NEAR(a.central_line.y0, b.central_line.y0, 4e-15);
        EXPECT_EQ(a.central_line.xz, b.central_line.xz);
        EXPECT_EQ(a.gradient_axis, b.gradient_axis);
    }
}

}  // namespace
