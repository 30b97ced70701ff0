// The slot an instance keeps its value in: only a value that was built is ever destroyed.
#include "vedov/binding/value_slot.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

namespace {

int destroyed = 0;

struct Counted {
    explicit Counted(bool fail) {
        if (fail) throw std::runtime_error("construction failed");
    }
    ~Counted() { ++destroyed; }
};

TEST(ValueSlot, DestroysOnlyAValueThatWasBuilt) {
    destroyed = 0;
    vedov::binding::ValueSlot<Counted> slot;
    EXPECT_THROW(slot.emplace(true), std::runtime_error);
    slot.destroy();
    EXPECT_EQ(destroyed, 0);
    slot.emplace(false);
    slot.destroy();
    slot.destroy();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
