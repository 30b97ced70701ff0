// Builders and the full-system constructor: stored values, grid order, failures.
#include "vedov/builders.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <string>
#include <vector>

#include "tests/cpp/bits.hpp"
#include "tests/cpp/failures.hpp"
#include "tests/cpp/sanitizers.hpp"

namespace {

using vedov_test::failure_message;

using vedov::SystemGeom;
using zam::Vec2D;

constexpr double inf = std::numeric_limits<double>::infinity();

// Hides a constant from the compiler, so that the expected values below call the C library's
// cos, sin, log and pow at run time, as the builders do, instead of being folded at compile time.
double opaque(double value) {
    volatile double hidden = value;
    return hidden;
}

// x-list coordinate k of the cell-centre grid: t·(D/2) + (1 − t)·(−D/2), t = 1/(n + n) + k/n.
double cell(double diameter, std::size_t n, std::size_t k) {
    const double count = static_cast<double>(n);
    const double t = 1.0 / (count + count) + static_cast<double>(k) / count;
    return t * (diameter / 2.0) + (1.0 - t) * -(diameter / 2.0);
}

// x-list coordinate k of the edge-to-edge grid over [−h, h]; n = 1 gives −h.
double edge(double half, std::size_t n, std::size_t k) {
    if (n == 1) return -half;
    const double t = static_cast<double>(k) / (static_cast<double>(n) + -1.0);
    return t * half + (1.0 - t) * -half;
}

// Grid point (i, j): x-list point (x, +0.0) plus y-list point (+0.0, y).
Vec2D grid_point(double x, double y) {
    return {x + 0.0, 0.0 + y};
}

const zam::SlopeTwoEdge& slope(const SystemGeom& s, std::size_t k) {
    return std::get<zam::SlopeTwoEdge>(s.meas.at(k));
}
const zam::Line& phase_line(const std::vector<zam::Measurement>& list, std::size_t k) {
    return std::get<zam::Phase>(list.at(k)).line;
}
const zam::Gaussian& gaussian(const SystemGeom& s, std::size_t k) {
    return std::get<zam::Gaussian>(s.com.at(k));
}

void expect_line(const zam::Line& actual, const zam::Line& expected) {
    EXPECT_BITS_EQ(actual.x0, expected.x0);
    EXPECT_BITS_EQ(actual.xz, expected.xz);
    EXPECT_BITS_EQ(actual.y0, expected.y0);
    EXPECT_BITS_EQ(actual.yz, expected.yz);
}

// A system with something in every field, to see that failed calls leave all of it alone.
SystemGeom populated() {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> one_dir{{1.0, 2.0}}, no_shift{{0.0, 0.0}};
    const std::vector<double> zero{0.0};
    vedov::add_meas(s, 8.0, 2, one_dir, inf, no_shift, zero, zero);
    vedov::add_phi(s, 8.0, 2);
    vedov::add_ts(s, 8.0, 2, one_dir);
    vedov::add_com(s, 0.5, 2, {0.0, 0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
    vedov::add_cov_layer(s);
    vedov::set_pupil(s, 8.0, 0.14);
    return s;
}

// ---- add_phi and add_ts ----------------------------------------------------------------------

TEST(AddPhi, CellCentresXIndexOuter) {
    SystemGeom s = vedov::new_empty();
    vedov::add_phi(s, 8.0, 4);
    ASSERT_EQ(s.phi.size(), 16u);
    const double c[4] = {-3, -1, 1, 3};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            expect_line(phase_line(s.phi, i * 4 + j), {c[i], 0.0, c[j], 0.0});
        }
    }
    EXPECT_TRUE(s.meas.empty() && s.ts.empty() && s.meas_lines.empty() && !s.pupil);
}

TEST(AddPhi, MatchesTheCellFormula) {
    for (const std::size_t n : {1u, 3u, 7u}) {
        SystemGeom s = vedov::new_empty();
        vedov::add_phi(s, 7.3, n);
        ASSERT_EQ(s.phi.size(), n * n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const Vec2D p = grid_point(cell(7.3, n, i), cell(7.3, n, j));
                expect_line(phase_line(s.phi, i * n + j), {p.x, 0.0, p.y, 0.0});
            }
        }
    }
}

TEST(AddTs, EdgeToEdgeGridPerDirection) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dirs{{0.0, 0.0}, {30.0, -30.0}};
    vedov::add_ts(s, 8.0, 3, dirs);
    ASSERT_EQ(s.ts.size(), 18u);
    const double c[3] = {-4, 0, 4};
    for (std::size_t d = 0; d < 2; ++d) {
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                expect_line(phase_line(s.ts, d * 9 + i * 3 + j),
                            {c[i], dirs[d].x * 4.848e-6, c[j], dirs[d].y * 4.848e-6});
            }
        }
    }
}

TEST(AddTs, MatchesTheEdgeFormula) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dirs{{12.5, -3.25}};
    vedov::add_ts(s, 7.3, 5, dirs);
    ASSERT_EQ(s.ts.size(), 25u);
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t j = 0; j < 5; ++j) {
            const Vec2D p = grid_point(edge(7.3 / 2.0, 5, i), edge(7.3 / 2.0, 5, j));
            expect_line(phase_line(s.ts, i * 5 + j), {p.x, 12.5 * 4.848e-6, p.y, -3.25 * 4.848e-6});
        }
    }
}

TEST(AddTs, SingleSampleSitsOnTheStartCorner) {
    SystemGeom s = vedov::new_empty();
    vedov::add_ts(s, 8.0, 1, std::vector<Vec2D>{{0.0, 0.0}});
    ASSERT_EQ(s.ts.size(), 1u);
    expect_line(phase_line(s.ts, 0), {-4.0, 0.0, -4.0, 0.0});
}

TEST(Builders, EmptyGridsOrDirectionsAppendNothing) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dir{{0.0, 0.0}}, none;
    vedov::add_phi(s, 8.0, 0);
    vedov::add_ts(s, 8.0, 0, dir);
    vedov::add_ts(s, 8.0, 4, none);
    vedov::add_meas(s, 8.0, 4, none, inf, dir, {}, {});
    vedov::add_com(s, 0.5, 0, {0.0, 0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
    EXPECT_EQ(s, vedov::new_empty());
}

// ---- add_meas --------------------------------------------------------------------------------

TEST(AddMeas, PlainSensor) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dir{{0.0, 0.0}}, shift{{0.0, 0.0}};
    const std::vector<double> zero{0.0};
    vedov::add_meas(s, 8.0, 2, dir, inf, shift, zero, zero);
    ASSERT_EQ(s.meas.size(), 8u);
    ASSERT_EQ(s.meas_lines.size(), 8u);
    const Vec2D grid[4] = {{-2, -2}, {-2, 2}, {2, -2}, {2, 2}};
    for (std::size_t k = 0; k < 8; ++k) {
        const zam::SlopeTwoEdge& m = slope(s, k);
        expect_line(m.central_line, {grid[k % 4].x, 0.0, grid[k % 4].y, 0.0});
        expect_line(s.meas_lines[k], m.central_line);
        EXPECT_BITS_EQ(m.edge_length, 4.0);
        EXPECT_BITS_EQ(m.edge_separation, 4.0);
        EXPECT_BITS_EQ(m.gradient_axis.x, k < 4 ? 0.0 : 1.0);
        EXPECT_BITS_EQ(m.gradient_axis.y, k < 4 ? 1.0 : -0.0);
        EXPECT_EQ(m.npoints, 1u);
        EXPECT_BITS_EQ(m.altitude, inf);
    }
}

struct Sensor {
    Vec2D dir;
    Vec2D delta;
    double clocking;
    double zoom;
};

TEST(AddMeas, ClockingZoomShiftAndFiniteAltitude) {
    const double teldiam = 7.9;
    const std::size_t n = 3;
    const double gsalt = 90000.0;
    const Sensor sensors[2] = {{{10.0, 0.0}, {0.1, -0.2}, 0.3, 0.5},
                               {{-4.5, 7.25}, {0.0, 0.0}, -1.1, -0.25}};
    SystemGeom s = vedov::new_empty();
    std::vector<Vec2D> dirs, deltas;
    std::vector<double> clockings, zooms;
    for (const Sensor& w : sensors) {
        dirs.push_back(w.dir);
        deltas.push_back(w.delta);
        clockings.push_back(w.clocking);
        zooms.push_back(w.zoom);
    }
    zooms.push_back(99.0);  // entries past the sensors are never read
    vedov::add_meas(s, teldiam, n, dirs, gsalt, deltas, clockings, zooms);
    ASSERT_EQ(s.meas.size(), 2 * 2 * n * n);
    ASSERT_EQ(s.meas_lines.size(), s.meas.size());

    const double size = teldiam / static_cast<double>(n);
    std::size_t k = 0;
    for (const Sensor& w : sensors) {
        const double c = std::cos(opaque(w.clocking)), sn = std::sin(opaque(w.clocking));
        const double m = 1.0 + w.zoom;
        const Vec2D axes[2] = {{sn, c}, {c, -sn}};
        for (const Vec2D& axis : axes) {
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j, ++k) {
                    const Vec2D p = grid_point(cell(teldiam, n, i), cell(teldiam, n, j));
                    const zam::SlopeTwoEdge& got = slope(s, k);
                    expect_line(got.central_line,
                                {(p.x * c + p.y * sn) * m + w.delta.x, w.dir.x * 4.848e-6,
                                 (p.y * c - p.x * sn) * m + w.delta.y, w.dir.y * 4.848e-6});
                    expect_line(s.meas_lines[k], got.central_line);
                    EXPECT_BITS_EQ(got.edge_length, size);
                    EXPECT_BITS_EQ(got.edge_separation, size);
                    EXPECT_BITS_EQ(got.gradient_axis.x, axis.x);
                    EXPECT_BITS_EQ(got.gradient_axis.y, axis.y);
                    EXPECT_EQ(got.npoints, 1u);
                    EXPECT_BITS_EQ(got.altitude, gsalt);
                }
            }
        }
    }
}

TEST(AddMeas, ZoomScalesPositionsButNotTheSubaperture) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dir{{0.0, 0.0}}, shift{{0.0, 0.0}};
    vedov::add_meas(s, 8.0, 2, dir, inf, shift, std::vector<double>{0.0}, std::vector<double>{0.5});
    EXPECT_BITS_EQ(slope(s, 0).central_line.x0, -3.0);
    EXPECT_BITS_EQ(slope(s, 3).central_line.y0, 3.0);
    EXPECT_BITS_EQ(slope(s, 0).edge_length, 4.0);
}

TEST(AddMeas, SingleSubapertureAtTheCentre) {
    SystemGeom s = vedov::new_empty();
    const std::vector<Vec2D> dirs{{0.0, 0.0}, {5.0, 5.0}}, shifts{{0.0, 0.0}, {0.0, 0.0}};
    const std::vector<double> zeros{0.0, 0.0};
    vedov::add_meas(s, 8.0, 1, dirs, inf, shifts, zeros, zeros);
    ASSERT_EQ(s.meas.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_BITS_EQ(slope(s, k).central_line.x0, 0.0);
        EXPECT_BITS_EQ(slope(s, k).central_line.y0, 0.0);
        EXPECT_BITS_EQ(slope(s, k).edge_length, 8.0);
    }
    EXPECT_BITS_EQ(slope(s, 2).central_line.xz, 5.0 * 4.848e-6);  // second sensor follows
}

struct ShortCase {
    const char* name;
    std::size_t clockings, zooms, deltas;
    const char* message;
};

class AddMeasShort : public testing::TestWithParam<ShortCase> {};

TEST_P(AddMeasShort, FailsAtTheFirstMissingSensorAndChangesNothing) {
    const ShortCase& c = GetParam();
    const std::vector<Vec2D> dirs(3, Vec2D{0.0, 0.0});
    const std::vector<Vec2D> deltas(c.deltas, Vec2D{0.0, 0.0});
    const std::vector<double> clockings(c.clockings, 0.0), zooms(c.zooms, 0.0);
    SystemGeom s = populated();
    const SystemGeom before = s;
    EXPECT_EQ(
        failure_message([&] { vedov::add_meas(s, 8.0, 2, dirs, inf, deltas, clockings, zooms); }),
        c.message);
    EXPECT_EQ(s, before);
    // With no subapertures nothing is looked up, so the same call succeeds and adds nothing.
    vedov::add_meas(s, 8.0, 0, dirs, inf, deltas, clockings, zooms);
    EXPECT_EQ(s, before);
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, AddMeasShort,
    testing::Values(
        ShortCase{"clocking", 2, 3, 3, "index out of bounds: the len is 2 but the index is 2"},
        ShortCase{"zoom", 3, 1, 3, "index out of bounds: the len is 1 but the index is 1"},
        ShortCase{"delta", 3, 3, 0, "index out of bounds: the len is 0 but the index is 0"},
        ShortCase{"shortest_decides", 2, 1, 0,
                  "index out of bounds: the len is 0 but the index is 0"},
        ShortCase{"zoom_before_delta", 3, 2, 1,
                  "index out of bounds: the len is 1 but the index is 1"},
        ShortCase{"all_empty", 0, 0, 0, "index out of bounds: the len is 0 but the index is 0"}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- add_com and add_ttdm --------------------------------------------------------------------

double sigma(double pitch, double coupling) {
    return pitch / std::pow(std::log(1.0 / opaque(coupling)), 0.5) / 1.4142135623730951;
}

TEST(AddCom, PlainMirror) {
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 3, {0.0, 0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
    ASSERT_EQ(s.com.size(), 9u);
    const double c[3] = {-0.5, 0.0, 0.5};
    const double width = 0.5 / std::pow(std::log(1.0 / opaque(0.3)), 0.5) / 1.4142135623730951;
    for (std::size_t k = 0; k < 9; ++k) {
        const zam::Gaussian& a = gaussian(s, k);
        EXPECT_BITS_EQ(a.position.x, c[k / 3]);
        EXPECT_BITS_EQ(a.position.y, c[k % 3]);
        EXPECT_BITS_EQ(a.position.z, 0.0);
        EXPECT_BITS_EQ(a.sigma, width);
        EXPECT_BITS_EQ(a.microns_per_volt, 1.0);
        // One pitch away the response is the coupling times the peak.
        EXPECT_NEAR(std::exp(-(0.5 / a.sigma) * (0.5 / a.sigma) / 2.0), 0.3, 1e-15);
    }
}

TEST(AddCom, MatchesTheTransformFormula) {
    const double pitch = 0.37, dmalt = 10000.0, clocking = 0.7, zoom = 1.0;
    const Vec2D delta{0.25, -0.125};
    const std::size_t n = 4;
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, pitch, n, delta, dmalt, 0.2, clocking, zoom, 2.5);
    ASSERT_EQ(s.com.size(), n * n);
    const double half = (static_cast<double>(n) - 1.0) * pitch * 0.5;
    const double c = std::cos(opaque(clocking)), sn = std::sin(opaque(clocking)), m = zoom + 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const Vec2D p = grid_point(edge(half, n, i), edge(half, n, j));
            const zam::Gaussian& a = gaussian(s, i * n + j);
            EXPECT_BITS_EQ(a.position.x, (p.x * c + p.y * sn) * m + delta.x);
            EXPECT_BITS_EQ(a.position.y, (p.y * c - p.x * sn) * m + delta.y);
            EXPECT_BITS_EQ(a.position.z, dmalt);
            EXPECT_BITS_EQ(a.sigma, sigma(pitch, 0.2));  // the zoom leaves the width alone
            EXPECT_BITS_EQ(a.microns_per_volt, 2.5);
        }
    }
}

TEST(AddCom, QuarterTurnClocking) {
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 3, {0.0, 0.0}, 0.0, 0.3, std::numbers::pi / 2, 0.0, 1.0);
    const zam::Gaussian& a = gaussian(s, 1);  // grid point (−0.5, 0.0)
    EXPECT_NEAR(a.position.x, 0.0, 1e-16);
    EXPECT_BITS_EQ(a.position.y, 0.5);
}

TEST(AddCom, SingleActuatorSitsOnTheShift) {
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 1, {0.3, -0.2}, 7.0, 0.3, 0.0, 0.0, 1.0);
    ASSERT_EQ(s.com.size(), 1u);
    EXPECT_EQ(gaussian(s, 0).position, (zam::Vec3D{0.3, -0.2, 7.0}));
    // The grid point is (−0.0, 0) + (0, −0.0) = (+0.0, +0.0), so a −0.0 shift does not survive.
    vedov::add_com(s, 0.5, 1, {-0.0, -0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
    EXPECT_BITS_EQ(gaussian(s, 1).position.x, 0.0);
    EXPECT_BITS_EQ(gaussian(s, 1).position.y, 0.0);
}

struct CouplingCase {
    const char* name;
    double coupling;
    double expected;  // sigma for pitch 0.5
};

class AddComCoupling : public testing::TestWithParam<CouplingCase> {};

TEST_P(AddComCoupling, StoresTheWidthAsComputed) {
    const CouplingCase& c = GetParam();
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 1, {0.0, 0.0}, 0.0, c.coupling, 0.0, 0.0, 1.0);
    const double stored = gaussian(s, 0).sigma;
    EXPECT_BITS_EQ(stored, sigma(0.5, c.coupling));
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(stored));
    } else {
        EXPECT_BITS_EQ(stored, c.expected);
    }
}

const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Widths, AddComCoupling,
                         testing::Values(CouplingCase{"typical", 0.3, sigma(0.5, 0.3)},
                                         CouplingCase{"one", 1.0, inf},
                                         CouplingCase{"zero", 0.0, 0.0},
                                         // pow(−inf, 0.5) is +inf where sqrt would give NaN.
                                         CouplingCase{"infinite", inf, 0.0},
                                         CouplingCase{"above_one", 1.5, nan},
                                         CouplingCase{"negative", -0.5, nan},
                                         CouplingCase{"last_bit", 0.9775, sigma(0.5, 0.9775)}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(AddCom, WidthUsesPowNotSqrt) {
    // At this coupling the two square roots differ in the last bit.
    const double x = std::log(1.0 / opaque(0.9775));
    ASSERT_NE(vedov_test::bits(std::pow(x, 0.5)), vedov_test::bits(std::sqrt(x)));
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 1, {0.0, 0.0}, 0.0, 0.9775, 0.0, 0.0, 1.0);
    EXPECT_BITS_EQ(gaussian(s, 0).sigma, 0.5 / std::pow(x, 0.5) / 1.4142135623730951);
    EXPECT_NE(vedov_test::bits(gaussian(s, 0).sigma),
              vedov_test::bits(0.5 / std::sqrt(x) / 1.4142135623730951));
}

TEST(AddTtdm, ZeroComponentsAreProductsWithScale) {
    SystemGeom s = vedov::new_empty();
    vedov::add_com(s, 0.5, 2, {0.0, 0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
    for (const double scale : {2.0, -1.0, inf}) vedov::add_ttdm(s, scale);
    ASSERT_EQ(s.com.size(), 4u + 6u);
    const Vec2D expected[6] = {{0.0, 2.0},   {2.0, 0.0}, {-0.0, -1.0},
                               {-1.0, -0.0}, {nan, inf}, {inf, nan}};
    for (std::size_t k = 0; k < 6; ++k) {
        const Vec2D& r = std::get<zam::TipTilt>(s.com[4 + k]).unit_response;
        if (std::isnan(expected[k].x)) {
            EXPECT_TRUE(std::isnan(r.x));
        } else {
            EXPECT_BITS_EQ(r.x, expected[k].x);
        }
        if (std::isnan(expected[k].y)) {
            EXPECT_TRUE(std::isnan(r.y));
        } else {
            EXPECT_BITS_EQ(r.y, expected[k].y);
        }
    }
}

// ---- absurd sizes ----------------------------------------------------------------------------

TEST(Builders, AbsurdGridsFailAndChangeNothing) {
    SystemGeom s = populated();
    const SystemGeom before = s;
    const std::vector<Vec2D> dir{{0.0, 0.0}}, dirs(3, Vec2D{0.0, 0.0});
    const std::vector<double> zero{0.0};
    const std::size_t huge[] = {std::size_t{1} << 32, std::size_t{1} << 33, std::size_t{1} << 40,
                                SIZE_MAX};
    for (const std::size_t n : huge) {
        EXPECT_EQ(failure_message([&] { vedov::add_phi(s, 8.0, n); }), "capacity overflow");
        EXPECT_EQ(failure_message([&] { vedov::add_ts(s, 8.0, n, dir); }), "capacity overflow");
        EXPECT_EQ(failure_message([&] { vedov::add_meas(s, 8.0, n, dir, inf, dir, zero, zero); }),
                  "capacity overflow");
        EXPECT_EQ(failure_message([&] {
                      vedov::add_com(s, 0.5, n, {0.0, 0.0}, 0.0, 0.3, 0.0, 0.0, 1.0);
                  }),
                  "capacity overflow");
    }
    // A count that fits a word but whose entries overflow it once multiplied out.
    EXPECT_EQ(failure_message([&] {
                  vedov::add_meas(s, 8.0, std::size_t{1} << 31, dirs, inf, dirs, zero, zero);
              }),
              "capacity overflow");
    // Representable, but far beyond any memory: the allocation fails before anything is built.
    if (vedov_test::allocation_failure_throws) {
        EXPECT_THROW(vedov::add_phi(s, 8.0, std::size_t{1} << 24), std::bad_alloc);
    }
    EXPECT_EQ(s, before);
}

// ---- the full-system constructor -------------------------------------------------------------

vedov::SystemParameters example() {
    return {.teldiam = 8.0,
            .cobs = 0.14,
            .coupling = 0.3,
            .nactux = 3,
            .dmalt = 0.0,
            .pitch = 4.0,
            .nsubx = 2,
            .ntssamples = 2,
            .nphisamples = 2,
            .wfs_dirs = {{0.0, 0.0}},
            .ts_dirs = {{0.0, 0.0}},
            .dm_delta = {0.0, 0.0},
            .wfs_delta = {{0.0, 0.0}},
            .dm_clocking = 0.0,
            .wfs_clocking = {0.0},
            .dm_zoom = 0.0,
            .wfs_zoom = {0.0},
            .gsalt = inf,
            .microns_per_volt = 1.0};
}

TEST(NewSystem, Example) {
    const SystemGeom s = vedov::new_system(example());
    ASSERT_EQ(s.com.size(), 9u);
    EXPECT_EQ(gaussian(s, 0).position, (zam::Vec3D{-4.0, -4.0, 0.0}));
    EXPECT_EQ(gaussian(s, 8).position, (zam::Vec3D{4.0, 4.0, 0.0}));
    EXPECT_EQ(s.meas.size(), 8u);
    EXPECT_EQ(s.meas_lines.size(), 8u);
    ASSERT_EQ(s.phi.size(), 4u);
    expect_line(phase_line(s.phi, 1), {-2.0, 0.0, 2.0, 0.0});
    ASSERT_EQ(s.ts.size(), 4u);
    expect_line(phase_line(s.ts, 2), {4.0, 0.0, -4.0, 0.0});
    EXPECT_EQ(s.cov_model.size(), 7u);
    ASSERT_TRUE(s.pupil);
    EXPECT_BITS_EQ(s.pupil->rad_outer, 4.0);
    EXPECT_BITS_EQ(s.pupil->rad_inner, 0.56);
    EXPECT_BITS_EQ(s.simul_dt, 0.0);
    EXPECT_BITS_EQ(s.meas_dt, 0.0);
}

TEST(NewSystem, EqualsTheBuilderSequence) {
    vedov::SystemParameters p = example();
    p.nactux = 5;
    p.pitch = 1.7;
    p.dmalt = 4500.0;
    p.dm_delta = {0.1, 0.2};
    p.dm_clocking = 0.2;
    p.dm_zoom = 0.05;
    p.nsubx = 4;
    p.wfs_dirs = {{10.0, 0.0}, {-10.0, 5.0}};
    p.wfs_delta = {{0.01, 0.0}, {0.0, -0.02}, {9.0, 9.0}};
    p.wfs_clocking = {0.0, 0.4};
    p.wfs_zoom = {0.0, -0.1};
    p.gsalt = 90000.0;
    p.ts_dirs = {{0.0, 0.0}, {20.0, 20.0}};
    p.ntssamples = 3;
    p.nphisamples = 5;

    SystemGeom expected = vedov::new_empty();
    vedov::add_com(expected, p.pitch, p.nactux, p.dm_delta, p.dmalt, p.coupling, p.dm_clocking,
                   p.dm_zoom, p.microns_per_volt);
    vedov::add_meas(expected, p.teldiam, p.nsubx, p.wfs_dirs, p.gsalt, p.wfs_delta, p.wfs_clocking,
                    p.wfs_zoom);
    vedov::add_phi(expected, p.teldiam, p.nphisamples);
    vedov::add_cov_layer(expected);
    vedov::add_ts(expected, p.teldiam, p.ntssamples, p.ts_dirs);
    vedov::set_pupil(expected, p.teldiam, p.cobs);
    EXPECT_EQ(vedov::new_system(p), expected);
}

TEST(NewSystem, NoSensorsNeedNoPerSensorValues) {
    vedov::SystemParameters p = example();
    p.wfs_dirs.clear();
    p.wfs_delta.clear();
    p.wfs_clocking.clear();
    p.wfs_zoom.clear();
    const SystemGeom s = vedov::new_system(p);
    EXPECT_TRUE(s.meas.empty() && s.meas_lines.empty());
    EXPECT_EQ(s.com.size(), 9u);
    EXPECT_EQ(s.phi.size(), 4u);
}

TEST(NewSystem, ShortSensorValuesFail) {
    vedov::SystemParameters p = example();
    p.wfs_dirs.push_back({1.0, 1.0});
    EXPECT_EQ(failure_message([&] { vedov::new_system(p); }),
              "index out of bounds: the len is 1 but the index is 1");
}

}  // namespace
