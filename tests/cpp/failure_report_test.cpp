// Classification of C++ failures at the module boundary.
#include <new>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "vedov/failure_report.hpp"
#include "zam/failure.hpp"

namespace {

using vedov::describe_failure;
using vedov::Outcome;

template <class F>
vedov::FailureReport report_of(F&& raise) {
    try {
        raise();
    } catch (...) {
        return describe_failure(std::current_exception());
    }
    ADD_FAILURE() << "nothing was thrown";
    return {};
}

TEST(FailureReport, InternalFailureKeepsMessageAndLocation) {
    const auto r = report_of([] { zam::fail_index(3, 7); });
    EXPECT_EQ(r.outcome, Outcome::panic);
    EXPECT_EQ(r.message, "index out of bounds: the len is 3 but the index is 7");
    EXPECT_NE(r.location.find("failure_report_test.cpp:"), std::string::npos) << r.location;
    const std::string text = vedov::panic_diagnostic(r);
    EXPECT_NE(text.find(r.message), std::string::npos);
    EXPECT_NE(text.find(r.location), std::string::npos);
}

TEST(FailureReport, ExhaustedMemoryIsNotAPanic) {
    EXPECT_EQ(report_of([] { throw std::bad_alloc(); }).outcome, Outcome::out_of_memory);
}

TEST(FailureReport, SizesPastTheAddressRangeAreCapacityOverflow) {
    for (auto r : {report_of([] { zam::check_capacity<double>(SIZE_MAX / 4); }),
                   report_of([] { zam::checked_mul(SIZE_MAX / 2, 3); }), report_of([] {
                       std::vector<double> v;
                       v.reserve(SIZE_MAX / 2);
                   }),
                   report_of([] { throw std::bad_array_new_length(); })}) {
        EXPECT_EQ(r.outcome, Outcome::panic);
        EXPECT_EQ(r.message, "capacity overflow");
    }
}

TEST(FailureReport, OtherExceptionsArePanicsWithTheirText) {
    auto r = report_of([] { throw std::runtime_error("disk on fire"); });
    EXPECT_EQ(r.outcome, Outcome::panic);
    EXPECT_EQ(r.message, "disk on fire");
    r = report_of([] { throw 42; });
    EXPECT_EQ(r.outcome, Outcome::panic);
    EXPECT_EQ(r.message, vedov::generic_failure_message);
}

}  // namespace
