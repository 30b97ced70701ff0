// Exact comparison of doubles by bit pattern, for tests that must tell -0.0 from 0.0.
#pragma once

#include <bit>
#include <cstdint>

#include <gtest/gtest.h>

namespace vedov_test {

inline std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

}  // namespace vedov_test

/// Passes only when both doubles have the same bit pattern.
#define EXPECT_BITS_EQ(actual, expected)                            \
    EXPECT_EQ(vedov_test::bits(actual), vedov_test::bits(expected)) \
        << (actual) << " vs " << (expected)

/// The fatal form of EXPECT_BITS_EQ, for loops over many values.
#define ASSERT_BITS_EQ(actual, expected)                            \
    ASSERT_EQ(vedov_test::bits(actual), vedov_test::bits(expected)) \
        << (actual) << " vs " << (expected)
