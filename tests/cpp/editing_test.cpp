// Edits of measurement and actuator lists: semantics, lines in step, messages, failures.
#include "vedov/editing.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "tests/cpp/bits.hpp"
#include "tests/cpp/failures.hpp"
#include "vedov/builders.hpp"

namespace {

using vedov_test::failure_message;

using vedov::SystemGeom;

std::string out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

// Measurement k, line k and actuator k are told apart by x0 = k (lines: y0 = k too).
SystemGeom numbered(std::size_t nmeas, std::size_t ncom, double tag = 0.0) {
    SystemGeom s = vedov::new_empty();
    for (std::size_t k = 0; k < nmeas; ++k) {
        const double v = tag + static_cast<double>(k);
        s.meas.push_back(zam::SlopeTwoEdge{{v, 0.0, 0.0, 0.0}, 1.0, 1.0, {0.0, 1.0}, 1, 0.0});
        s.meas_lines.push_back({v, 0.0, v, 0.0});
    }
    for (std::size_t k = 0; k < ncom; ++k) {
        s.com.push_back(zam::Gaussian{1.0, {tag + static_cast<double>(k), 0.0, 0.0}, 1.0});
    }
    vedov::add_phi(s, 8.0, 2);
    vedov::add_ts(s, 8.0, 1, std::vector<zam::Vec2D>{{tag, tag}});
    vedov::add_cov_layer(s);
    vedov::set_pupil(s, 8.0, tag);
    vedov::set_dt(s, tag + 0.1, tag + 0.2);
    return s;
}

// The tags of the measurements, of the lines and of the actuators, in order.
std::vector<double> meas_tags(const SystemGeom& s) {
    std::vector<double> tags;
    for (const auto& m : s.meas) tags.push_back(std::get<zam::SlopeTwoEdge>(m).central_line.x0);
    return tags;
}
std::vector<double> line_tags(const SystemGeom& s) {
    std::vector<double> tags;
    for (const auto& l : s.meas_lines) {
        EXPECT_BITS_EQ(l.x0, l.y0);
        tags.push_back(l.x0);
    }
    return tags;
}
std::vector<double> com_tags(const SystemGeom& s) {
    std::vector<double> tags;
    for (const auto& a : s.com) tags.push_back(std::get<zam::Gaussian>(a).position.x);
    return tags;
}

using Tags = std::vector<double>;

// Everything but meas, meas_lines and com, which the edits must leave alone.
void expect_rest_equal(const SystemGeom& a, const SystemGeom& b) {
    EXPECT_EQ(a.phi, b.phi);
    EXPECT_EQ(a.ts, b.ts);
    EXPECT_EQ(a.cov_model, b.cov_model);
    EXPECT_EQ(a.pupil, b.pupil);
    EXPECT_BITS_EQ(a.simul_dt, b.simul_dt);
    EXPECT_BITS_EQ(a.meas_dt, b.meas_dt);
}

// Runs the measurement edit and the actuator edit on copies of `original`: each must leave the
// `expected` tags in its own list (lines in step with measurements) and all else as it was.
template <class EditMeas, class EditCom>
void expect_edits(const SystemGeom& original, EditMeas edit_meas, EditCom edit_com,
                  const Tags& expected) {
    SystemGeom s = original;
    edit_meas(s);
    EXPECT_EQ(meas_tags(s), expected);
    EXPECT_EQ(line_tags(s), expected);
    EXPECT_EQ(s.com, original.com);
    expect_rest_equal(s, original);

    SystemGeom t = original;
    edit_com(t);
    EXPECT_EQ(com_tags(t), expected);
    EXPECT_EQ(t.meas, original.meas);
    EXPECT_EQ(t.meas_lines, original.meas_lines);
    expect_rest_equal(t, original);
}

// ---- filters ---------------------------------------------------------------------------------

struct FilterCase {
    const char* name;
    std::vector<bool> mask;
    Tags kept;
};

class Filter : public testing::TestWithParam<FilterCase> {};

TEST_P(Filter, KeepsTheMarkedEntriesInOrder) {
    const FilterCase& c = GetParam();
    expect_edits(
        numbered(4, 4), [&](SystemGeom& s) { vedov::filter_meas(s, c.mask); },
        [&](SystemGeom& s) { vedov::filter_com(s, c.mask); }, c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, Filter,
    testing::Values(FilterCase{"all_true", {true, true, true, true}, {0, 1, 2, 3}},
                    FilterCase{"all_false", {false, false, false, false}, {}},
                    FilterCase{"mixed", {false, true, true, false}, {1, 2}},
                    FilterCase{"longer_mask", {true, false, true, true, false, false}, {0, 2, 3}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Filter, ShortMaskFailsAtItsLengthAndChangesNothing) {
    const SystemGeom original = numbered(4, 3);
    SystemGeom s = original;
    for (const std::vector<bool>& mask :
         {std::vector<bool>{}, std::vector<bool>{true}, std::vector<bool>{false, true}}) {
        EXPECT_EQ(failure_message([&] { vedov::filter_meas(s, mask); }),
                  out_of_bounds(mask.size(), mask.size()));
        EXPECT_EQ(failure_message([&] { vedov::filter_com(s, mask); }),
                  out_of_bounds(mask.size(), mask.size()));
        EXPECT_EQ(s, original);
    }
}

TEST(Filter, MaskMustCoverTheLinesToo) {
    SystemGeom s = numbered(2, 0);
    s.meas_lines.push_back({9.0, 0.0, 9.0, 0.0});  // more lines than measurements
    const SystemGeom before = s;
    EXPECT_EQ(failure_message([&] { vedov::filter_meas(s, {true, false}); }), out_of_bounds(2, 2));
    EXPECT_EQ(s, before);
}

// ---- reorders --------------------------------------------------------------------------------

struct ReorderCase {
    const char* name;
    std::vector<std::size_t> order;
    Tags result;
};

class Reorder : public testing::TestWithParam<ReorderCase> {};

TEST_P(Reorder, PicksByPosition) {
    const ReorderCase& c = GetParam();
    expect_edits(
        numbered(3, 3), [&](SystemGeom& s) { vedov::reorder_meas(s, c.order); },
        [&](SystemGeom& s) { vedov::reorder_com(s, c.order); }, c.result);
}

INSTANTIATE_TEST_SUITE_P(Orders, Reorder,
                         testing::Values(ReorderCase{"select", {2, 0}, {2, 0}},
                                         ReorderCase{"repeat", {0, 0}, {0, 0}},
                                         ReorderCase{"permute", {1, 2, 0}, {1, 2, 0}},
                                         ReorderCase{"grow", {2, 2, 1, 1, 0}, {2, 2, 1, 1, 0}},
                                         ReorderCase{"empty", {}, {}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Reorder, FirstOffendingIndexFailsAndChangesNothing) {
    const SystemGeom original = numbered(3, 3);
    SystemGeom s = original;
    for (const auto& [order, message] :
         {std::pair{std::vector<std::size_t>{3}, out_of_bounds(3, 3)},
          std::pair{std::vector<std::size_t>{0, 1, 7, 3}, out_of_bounds(3, 7)},
          std::pair{std::vector<std::size_t>{2, SIZE_MAX}, out_of_bounds(3, SIZE_MAX)}}) {
        EXPECT_EQ(failure_message([&] { vedov::reorder_meas(s, order); }), message);
        EXPECT_EQ(failure_message([&] { vedov::reorder_com(s, order); }), message);
        EXPECT_EQ(s, original);
    }
}

TEST(Reorder, EachIndexMeetsMeasThenLines) {
    // Lines shorter than measurements: index 2 passes meas but not meas_lines, before index 5 is
    // ever reached.
    SystemGeom s = numbered(4, 0);
    s.meas_lines.resize(2);
    const SystemGeom before = s;
    EXPECT_EQ(failure_message([&] {
                  vedov::reorder_meas(s, std::vector<std::size_t>{1, 2, 5});
              }),
              out_of_bounds(2, 2));
    EXPECT_EQ(failure_message([&] {
                  vedov::reorder_meas(s, std::vector<std::size_t>{5, 2});
              }),
              out_of_bounds(4, 5));
    EXPECT_EQ(s, before);
}

// ---- merges ----------------------------------------------------------------------------------

TEST(Merge, SingleSystemComesBackEqual) {
    const SystemGeom a = numbered(3, 2);
    EXPECT_EQ(vedov::merge_meas({a}), a);
    EXPECT_EQ(vedov::merge_com({a}), a);
}

TEST(Merge, ConcatenatesInOrderAndTakesTheRestFromTheFirst) {
    const SystemGeom a = numbered(2, 3, 0.0), b = numbered(1, 2, 10.0), c = numbered(2, 1, 20.0);

    const SystemGeom m = vedov::merge_meas({a, b, c});
    EXPECT_EQ(meas_tags(m), (Tags{0, 1, 10, 20, 21}));
    EXPECT_EQ(line_tags(m), (Tags{0, 1, 10, 20, 21}));
    EXPECT_EQ(m.com, a.com);
    expect_rest_equal(m, a);

    const SystemGeom n = vedov::merge_com({a, b, c});
    EXPECT_EQ(com_tags(n), (Tags{0, 1, 2, 10, 11, 20}));
    EXPECT_EQ(n.meas, a.meas);
    EXPECT_EQ(n.meas_lines, a.meas_lines);
    expect_rest_equal(n, a);
}

TEST(Merge, NoSystemsFail) {
    EXPECT_EQ(failure_message([] { vedov::merge_meas({}); }), out_of_bounds(0, 0));
    EXPECT_EQ(failure_message([] { vedov::merge_com({}); }), out_of_bounds(0, 0));
}

}  // namespace
