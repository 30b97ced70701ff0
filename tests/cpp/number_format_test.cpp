// The document's number format: float layout, round trips of every bit pattern, number spellings.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "tests/cpp/bits.hpp"
#include "vedov/document/number_format.hpp"

namespace {

using vedov::document::Number;
using vedov::document::parse_number;

std::string text_of(double value) {
    std::string text;
    vedov::document::append_float(text, value);
    return text;
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Layout {
    double value;
    const char* text;
};

class FloatLayout : public testing::TestWithParam<Layout> {};

TEST_P(FloatLayout, WritesTheRuleThatApplies) {
    EXPECT_EQ(text_of(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FloatLayout,
    testing::Values(
        // specials
        Layout{nan, ".nan"}, Layout{-nan, ".nan"}, Layout{inf, ".inf"}, Layout{-inf, "-.inf"},
        Layout{0.0, "0.0"}, Layout{-0.0, "-0.0"},
        // digits then zeros, up to 16 places before the point
        Layout{60.0, "60.0"}, Layout{1800.0, "1800.0"}, Layout{1e15, "1000000000000000.0"},
        Layout{9999999999999998.0, "9999999999999998.0"}, Layout{-4.0, "-4.0"},
        // a point inside the digits
        Layout{2.5, "2.5"}, Layout{2.062782, "2.062782"}, Layout{1234.5678, "1234.5678"},
        Layout{123456789012.5, "123456789012.5"}, Layout{999999999999999.9, "999999999999999.9"},
        // leading zeros after the point, down to 10^-5
        Layout{0.5, "0.5"}, Layout{0.21575883, "0.21575883"}, Layout{0.0001, "0.0001"},
        Layout{1e-5, "0.00001"}, Layout{-2.5e-5, "-0.000025"},
        Layout{2.4240000000000002e-05, "0.000024240000000000002"},
        // exponent form beyond
        Layout{1e16, "1e16"}, Layout{1.5e16, "1.5e16"}, Layout{1e22, "1e22"},
        Layout{1.2345678901234568e17, "1.2345678901234568e17"}, Layout{1e-6, "1e-6"},
        Layout{9.9e-6, "9.9e-6"}, Layout{1.5e-7, "1.5e-7"}, Layout{5e-324, "5e-324"},
        Layout{-2.2250738585072014e-308, "-2.2250738585072014e-308"},
        Layout{1.7976931348623157e308, "1.7976931348623157e308"}));

double read_back(const std::string& text) {
    const auto number = parse_number(text);
    if (!number) ADD_FAILURE() << "not a number: " << text;
    return number ? number->to_double() : 0.0;
}

void expect_round_trip(std::uint64_t pattern) {
    const double value = std::bit_cast<double>(pattern);
    const std::string text = text_of(value);
    const double back = read_back(text);
    if (std::isnan(value)) {
        ASSERT_TRUE(std::isnan(back)) << text;
    } else {
        ASSERT_EQ(vedov_test::bits(back), pattern) << text;
    }
}

TEST(FloatRoundTrip, RandomBitPatterns) {
    std::mt19937_64 random(20240601);
    for (int k = 0; k < 4'000'000; ++k) expect_round_trip(random());
}

TEST(FloatRoundTrip, EdgesOfEveryBinade) {
    // The smallest and largest significands of every exponent, both signs.
    for (std::uint64_t exponent = 0; exponent < 2048; ++exponent) {
        for (std::uint64_t sign : {0ull, 1ull << 63}) {
            for (std::uint64_t significand : {0ull, 1ull, 2ull, (1ull << 52) - 1, 1ull << 51}) {
                expect_round_trip(sign | exponent << 52 | significand);
            }
        }
    }
}

TEST(FloatRoundTrip, NearPowersOfTen) {
    for (int e = -324; e <= 308; ++e) {
        const double p = std::pow(10.0, e);
        for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, inf)}) {
            expect_round_trip(vedov_test::bits(v));
        }
    }
}

struct Spelling {
    const char* text;
    double value;
};

class NumberSpelling : public testing::TestWithParam<Spelling> {};

TEST_P(NumberSpelling, ReadsAsItsValue) {
    const auto number = parse_number(GetParam().text);
    ASSERT_TRUE(number) << GetParam().text;
    const double value = number->to_double();
    if (std::isnan(GetParam().value)) {
        EXPECT_TRUE(std::isnan(value));
    } else {
        EXPECT_BITS_EQ(value, GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, NumberSpelling,
    testing::Values(
        // integers, decimal and prefixed, with signs
        Spelling{"60", 60.0}, Spelling{"0", 0.0}, Spelling{"+5", 5.0}, Spelling{"-12", -12.0},
        Spelling{"-0", 0.0}, Spelling{"0x1F", 31.0}, Spelling{"0xff", 255.0},
        Spelling{"+0x10", 16.0}, Spelling{"-0x10", -16.0}, Spelling{"0o17", 15.0},
        Spelling{"-0o7", -7.0}, Spelling{"0b101", 5.0}, Spelling{"-0b1", -1.0},
        Spelling{"0x0010", 16.0}, Spelling{"9007199254740993", 9007199254740992.0},
        Spelling{"18446744073709551616", 18446744073709551616.0},
        Spelling{"0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 3.402823669209385e38},
        Spelling{"-170141183460469231731687303715884105728", -1.7014118346046923e38},
        Spelling{"100000000000000000000000000000000000000000000000000", 1e50},
        // floats
        Spelling{"-0.0", -0.0}, Spelling{"0.1", 0.1}, Spelling{"1e3", 1000.0},
        Spelling{"1E+3", 1000.0}, Spelling{"2.5e-3", 0.0025}, Spelling{".5", 0.5},
        Spelling{"5.", 5.0}, Spelling{"-.5", -0.5}, Spelling{"+1.5", 1.5}, Spelling{"01.5", 1.5},
        Spelling{"0e999", 0.0}, Spelling{"1.e2", 100.0},
        Spelling{"2.4703282292062328e-324", 5e-324}, Spelling{"1e-400", 0.0},
        Spelling{"-1e-400", -0.0}, Spelling{"0.000001e-330", 0.0},
        Spelling{"1.7976931348623157e308", 1.7976931348623157e308},
        // special values
        Spelling{".inf", inf}, Spelling{".Inf", inf}, Spelling{".INF", inf}, Spelling{"+.inf", inf},
        Spelling{"-.inf", -inf}, Spelling{"-.Inf", -inf}, Spelling{"-.INF", -inf},
        Spelling{".nan", nan}, Spelling{".NaN", nan}, Spelling{".NAN", nan}));

class NotANumber : public testing::TestWithParam<const char*> {};

TEST_P(NotANumber, IsRefused) {
    EXPECT_FALSE(parse_number(GetParam())) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Refused, NotANumber,
                         testing::Values("", "+", "-", ".", "e5", "1e", "1e+", "inf", "nan",
                                         "Infinity", "+.nan", "-.nan", ".nan0", ".inf5", "..inf",
                                         "0x", "0xG", "0X10", "0x-5", "-0x-5", "+-0x5", "0x1p3",
                                         "1_000", "007", "-01", "+00", "1e400", "-1e400",
                                         "0x1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "++1", "+-1", "-+1",
                                         "1.2.3", " 1", "1 ", "1,5", "true", "null", "~", "0o8",
                                         "0b2", "1e5.0"));

TEST(NumberKind, IntegersKeepTheirExactValue) {
    const auto hex = parse_number("0x10");
    ASSERT_TRUE(hex);
    EXPECT_EQ(hex->kind, Number::Kind::integer);
    EXPECT_EQ(hex->integer_text(), "16");
    const auto big = parse_number("-170141183460469231731687303715884105728");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->integer_text(), "-170141183460469231731687303715884105728");
    EXPECT_FALSE(parse_number("-0")->negative);
    EXPECT_EQ(parse_number("1.0")->kind, Number::Kind::floating);
    EXPECT_EQ(parse_number("1e3")->kind, Number::Kind::floating);
}

TEST(DescribeFloat, PositionalWithADecimal) {
    using vedov::document::describe_float;
    EXPECT_EQ(describe_float(4.0), "4.0");
    EXPECT_EQ(describe_float(4.5), "4.5");
    EXPECT_EQ(describe_float(-0.0), "-0.0");
    EXPECT_EQ(describe_float(1e20), "100000000000000000000.0");
    EXPECT_EQ(describe_float(1e-7), "0.0000001");
    EXPECT_EQ(describe_float(1.25e-3), "0.00125");
    EXPECT_EQ(describe_float(nan), "NaN");
    EXPECT_EQ(describe_float(-inf), "-inf");
}

}  // namespace
