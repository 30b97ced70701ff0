// Coefficients of the exact von Kármán shape; made by scripts/gen_von_karman_shape.py.
#pragma once

#include <cstdint>

// One coefficient a line, as generated.
// clang-format off
namespace zam::von_karman_shape_coefficients {

/// The series range is s < 4.0 (x < 2).
inline constexpr double small_limit = 4.0;
/// The s^(-1/6) seed: (seed_constant - (high(s) * seed_divisor >> 32)) << 32.
inline constexpr std::uint64_t seed_constant = 0x4A970C00;
inline constexpr std::uint64_t seed_divisor = 0x2AAAAAAB;

/// E(s) in powers of s, from s^0 (g(0) to the nearest double).
inline constexpr double even[10] = {
    1.0056349179985902,
    1.5084523769978884,
    0.16161989753546957,
    0.006216149905255521,
    0.00012268716912532403,
    1.4722460718308616e-06,
    1.1872933101080225e-08,
    6.876747545014199e-11,
    2.9897273009604437e-13,
    1.0971024981249208e-15,
};

/// -O(s) in powers of s, from s^0.
inline constexpr double minus_odd[10] = {
    -1.8743935382686447,
    -0.2555991188548152,
    -0.01127643171418293,
    -0.0002451398198737296,
    -3.1699114636668298e-06,
    -2.717066984511413e-08,
    -1.6567474394921318e-10,
    -7.553773430356623e-13,
    -2.6683972344354145e-15,
    -7.946147121298467e-18,
};

/// P(x) in powers of x, from x^6 down to x^0.
inline constexpr double numerator[7] = {
    1.253314137315501,
    13.267580476549078,
    48.020299893479645,
    73.64566333377535,
    48.2598335425584,
    11.89936997271399,
    0.7272959682886246,
};

/// Q(x) - x^6 in powers of x, from x^5 down to x^0.
inline constexpr double denominator[6] = {
    10.363775399226563,
    36.098014443237396,
    51.554573389853836,
    29.45507561036136,
    5.487435019493335,
    0.16730803038873754,
};

/// (1 + e)^(-1/6) over the seed's range, from e^0.
inline constexpr double first_root_correction[4] = {
    0.999992846472401,
    -0.1666421087289427,
    0.09901824677751248,
    -0.07258549379083239,
};

/// (1 + e)^(-1/6) after the first correction.
inline constexpr double second_root_correction[4] = {
    1.0,
    -0.16666666666666666,
    0.09722222245752365,
    -0.0702160496549,
};

}  // namespace zam::von_karman_shape_coefficients
// clang-format on
