// The 2^(j/128) table of the vectorised exp (256 64-bit words).
#pragma once

#include <cstdint>

namespace zam {

/// For j = 0..127: word 2j holds the bits of RN((2^(j/128) - H_j) / H_j), word 2j+1 the bits of
/// H_j = RN(2^(j/128)) minus j << 45 (modulo 2^64).
extern const std::uint64_t exp_table[256];

}  // namespace zam
