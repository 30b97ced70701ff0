// Long verification of the vectorised exp: N random arguments per level against the C library.
//
//     exp_verify [count, default 1e9]
//
// Arguments are drawn uniformly over [-60, 0] (the covariance kernel's range) for three quarters of
// them and over [-1100, 720] for the rest; every mismatch in any bit is counted (NaN matches NaN).
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/combinable.h>
#include <oneapi/tbb/parallel_for.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "zam/simd.hpp"

int main(int argc, char** argv) {
    const std::uint64_t count =
        argc > 1 ? static_cast<std::uint64_t>(std::stod(argv[1])) : 1000000000;
    constexpr std::uint64_t chunk = 1 << 16;
    const std::uint64_t chunks = (count + chunk - 1) / chunk;
    for (zam::SimdLevel level : {zam::SimdLevel::avx2, zam::SimdLevel::avx512}) {
        if (!zam::simd_supported(level)) continue;
        const auto start = std::chrono::steady_clock::now();
        oneapi::tbb::combinable<std::uint64_t> mismatches([] { return std::uint64_t{0}; });
        oneapi::tbb::parallel_for(
            oneapi::tbb::blocked_range<std::uint64_t>(0, chunks), [&](const auto& range) {
                std::vector<double> in(chunk), out(chunk);
                for (std::uint64_t c = range.begin(); c != range.end(); ++c) {
                    std::mt19937_64 rng(c);
                    std::uniform_real_distribution<double> band(-60.0, 0.0);
                    std::uniform_real_distribution<double> wide(-1100.0, 720.0);
                    for (std::uint64_t k = 0; k < chunk; ++k) {
                        in[k] = (k & 3) ? band(rng) : wide(rng);
                    }
                    zam::simd_exp(level, in.data(), out.data(), chunk);
                    std::uint64_t bad = 0;
                    for (std::uint64_t k = 0; k < chunk; ++k) {
                        const double want = std::exp(in[k]);
                        bad += std::bit_cast<std::uint64_t>(out[k]) !=
                                   std::bit_cast<std::uint64_t>(want) &&
                               !(std::isnan(out[k]) && std::isnan(want));
                    }
                    mismatches.local() += bad;
                }
            });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: %llu arguments, %llu mismatches, %.1f s\n",
                    level == zam::SimdLevel::avx2 ? "avx2" : "avx512",
                    static_cast<unsigned long long>(chunks * chunk),
                    static_cast<unsigned long long>(mismatches.combine(std::plus<>())), seconds);
    }
}
