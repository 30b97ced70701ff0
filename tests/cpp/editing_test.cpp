// Edits where the measurement lines are out of step with the measurements (as a document may have
// them): each index and mask entry meets the measurements first, then the lines.
#include "vedov/editing.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cpp/failures.hpp"

namespace {

using vedov_test::failure_message;

using vedov::SystemGeom;

std::string out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

SystemGeom with_lines(std::size_t nmeas, std::size_t nlines) {
    SystemGeom s = vedov::new_empty();
    for (std::size_t k = 0; k < nmeas; ++k) {
        const double v = static_cast<double>(k);
        s.meas.push_back(zam::Phase{{v, 0.0, 0.0, 0.0}});
    }
    for (std::size_t k = 0; k < nlines; ++k) {
        const double v = static_cast<double>(k);
        s.meas_lines.push_back({v, 0.0, v, 0.0});
    }
    return s;
}

TEST(Filter, MaskMustCoverTheLinesToo) {
    SystemGeom s = with_lines(2, 3);
    const SystemGeom before = s;
    EXPECT_EQ(failure_message([&] { vedov::filter_meas(s, {true, false}); }), out_of_bounds(2, 2));
    EXPECT_EQ(s, before);
}

TEST(Reorder, EachIndexMeetsMeasThenLines) {
    // Index 2 passes meas but not meas_lines, before index 5 is ever reached.
    SystemGeom s = with_lines(4, 2);
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

}  // namespace
