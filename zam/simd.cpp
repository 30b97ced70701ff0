// AVX2 and AVX-512 instances of the covariance kernel, CPU dispatch and the check before first use.
#include "zam/simd.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "zam/actuator.hpp"
#include "zam/exp_table.hpp"

namespace zam {

// Each level's functions carry their own target attribute, so the rest of the library (and every
// inline function it shares with these) stays plain x86-64 and one build runs on any such CPU.

namespace avx2 {

#define ZAM_TARGET __attribute__((target("avx2,fma")))
using V = __m256d;
using I = __m256i;
constexpr int kWidth = 4;

ZAM_TARGET inline V vset(double v) {
    return _mm256_set1_pd(v);
}
ZAM_TARGET inline V vload(const double* p) {
    return _mm256_loadu_pd(p);
}
ZAM_TARGET inline void vstore(double* p, V v) {
    _mm256_storeu_pd(p, v);
}
ZAM_TARGET inline V vadd(V a, V b) {
    return _mm256_add_pd(a, b);
}
ZAM_TARGET inline V vsub(V a, V b) {
    return _mm256_sub_pd(a, b);
}
ZAM_TARGET inline V vmul(V a, V b) {
    return _mm256_mul_pd(a, b);
}
ZAM_TARGET inline V vdiv(V a, V b) {
    return _mm256_div_pd(a, b);
}
ZAM_TARGET inline V vsqrt(V a) {
    return _mm256_sqrt_pd(a);
}
ZAM_TARGET inline V vfma(V a, V b, V c) {
    return _mm256_fmadd_pd(a, b, c);
}
// The second operand wins when the first is not a number.
ZAM_TARGET inline V vmin(V a, V b) {
    return _mm256_min_pd(a, b);
}
ZAM_TARGET inline V vmax(V a, V b) {
    return _mm256_max_pd(a, b);
}
ZAM_TARGET inline I as_int(V v) {
    return _mm256_castpd_si256(v);
}
ZAM_TARGET inline V as_double(I v) {
    return _mm256_castsi256_pd(v);
}
ZAM_TARGET inline I iadd(I a, I b) {
    return _mm256_add_epi64(a, b);
}
ZAM_TARGET inline I shl45(I v) {
    return _mm256_slli_epi64(v, 45);
}
ZAM_TARGET inline I twice_low7(I v) {
    return _mm256_slli_epi64(_mm256_and_si256(v, _mm256_set1_epi64x(127)), 1);
}
// Both table words of every lane: four 128-bit loads, transposed.
ZAM_TARGET inline void lookup(I index, I& tail, I& high) {
    alignas(32) std::uint64_t at[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    const auto pair = [](std::uint64_t k) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(exp_table + k));
    };
    const I even = _mm256_set_m128i(pair(at[2]), pair(at[0]));  // t0 h0 t2 h2
    const I odd = _mm256_set_m128i(pair(at[3]), pair(at[1]));   // t1 h1 t3 h3
    tail = _mm256_unpacklo_epi64(even, odd);
    high = _mm256_unpackhi_epi64(even, odd);
}
ZAM_TARGET inline bool any_outside_512(V x) {
    const V magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    return _mm256_movemask_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(512.0), _CMP_NLT_UQ)) != 0;
}
using M = __m256d;
ZAM_TARGET inline M vless(V a, V b) {
    return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
}
ZAM_TARGET inline unsigned lane_bits(M m) {
    return static_cast<unsigned>(_mm256_movemask_pd(m));
}
inline constexpr unsigned every_lane = 0xf;
using C = __m256i;
// The element index of each lane's pick within a 128-bit pair: 2 (the second) where clear.
ZAM_TARGET inline C vchoice(M first) {
    return _mm256_castpd_si256(_mm256_andnot_pd(first, _mm256_castsi256_pd(_mm256_set1_epi64x(2))));
}
ZAM_TARGET inline V vchoose(const double* two, C choice) {
    return _mm256_permutevar_pd(_mm256_broadcast_pd(reinterpret_cast<const __m128d*>(two)), choice);
}
ZAM_TARGET inline V vblend(M m, V set, V clear) {
    return _mm256_blendv_pd(clear, set, m);
}
// The seed of zam/von_karman_shape.hpp's root_seed, lane by lane.
ZAM_TARGET inline V root_seed(V s) {
    namespace c = von_karman_shape_coefficients;
    const I high = _mm256_srli_epi64(as_int(s), 32);
    const I divisor = _mm256_set1_epi64x(static_cast<long long>(c::seed_divisor));
    const I quotient = _mm256_srli_epi64(_mm256_mul_epu32(high, divisor), 32);
    const I seed = _mm256_set1_epi64x(static_cast<long long>(c::seed_constant));
    return as_double(_mm256_slli_epi64(_mm256_sub_epi64(seed, quotient), 32));
}

#include "zam/simd_kernel.inl"
#undef ZAM_TARGET

}  // namespace avx2

// GCC 12's AVX-512 headers build masked intrinsics on deliberately undefined vectors, which
// -Wmaybe-uninitialized reports once per use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace avx512 {

#define ZAM_TARGET __attribute__((target("avx512f,avx512dq,avx2,fma")))
using V = __m512d;
using I = __m512i;
constexpr int kWidth = 8;

ZAM_TARGET inline V vset(double v) {
    return _mm512_set1_pd(v);
}
ZAM_TARGET inline V vload(const double* p) {
    return _mm512_loadu_pd(p);
}
ZAM_TARGET inline void vstore(double* p, V v) {
    _mm512_storeu_pd(p, v);
}
ZAM_TARGET inline V vadd(V a, V b) {
    return _mm512_add_pd(a, b);
}
ZAM_TARGET inline V vsub(V a, V b) {
    return _mm512_sub_pd(a, b);
}
ZAM_TARGET inline V vmul(V a, V b) {
    return _mm512_mul_pd(a, b);
}
ZAM_TARGET inline V vdiv(V a, V b) {
    return _mm512_div_pd(a, b);
}
ZAM_TARGET inline V vsqrt(V a) {
    return _mm512_sqrt_pd(a);
}
ZAM_TARGET inline V vfma(V a, V b, V c) {
    return _mm512_fmadd_pd(a, b, c);
}
ZAM_TARGET inline V vmin(V a, V b) {
    return _mm512_min_pd(a, b);
}
ZAM_TARGET inline V vmax(V a, V b) {
    return _mm512_max_pd(a, b);
}
ZAM_TARGET inline I as_int(V v) {
    return _mm512_castpd_si512(v);
}
ZAM_TARGET inline V as_double(I v) {
    return _mm512_castsi512_pd(v);
}
ZAM_TARGET inline I iadd(I a, I b) {
    return _mm512_add_epi64(a, b);
}
ZAM_TARGET inline I shl45(I v) {
    return _mm512_slli_epi64(v, 45);
}
ZAM_TARGET inline I twice_low7(I v) {
    return _mm512_slli_epi64(_mm512_and_si512(v, _mm512_set1_epi64(127)), 1);
}
ZAM_TARGET inline void lookup(I index, I& tail, I& high) {
    const auto* table = reinterpret_cast<const long long*>(exp_table);
    tail = _mm512_i64gather_epi64(index, table, 8);
    high = _mm512_i64gather_epi64(index, table + 1, 8);
}
ZAM_TARGET inline bool any_outside_512(V x) {
    return _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(512.0), _CMP_NLT_UQ) != 0;
}
using M = __mmask8;
ZAM_TARGET inline M vless(V a, V b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ);
}
ZAM_TARGET inline unsigned lane_bits(M m) {
    return m;
}
inline constexpr unsigned every_lane = 0xff;
using C = __m512i;
ZAM_TARGET inline C vchoice(M first) {
    return _mm512_mask_mov_epi64(_mm512_set1_epi64(2), first, _mm512_setzero_si512());
}
ZAM_TARGET inline V vchoose(const double* two, C choice) {
    return _mm512_permutevar_pd(_mm512_broadcast_f64x2(_mm_loadu_pd(two)), choice);
}
ZAM_TARGET inline V vblend(M m, V set, V clear) {
    return _mm512_mask_blend_pd(m, clear, set);
}
ZAM_TARGET inline V root_seed(V s) {
    namespace c = von_karman_shape_coefficients;
    const I high = _mm512_srli_epi64(as_int(s), 32);
    const I divisor = _mm512_set1_epi64(static_cast<long long>(c::seed_divisor));
    const I quotient = _mm512_srli_epi64(_mm512_mul_epu32(high, divisor), 32);
    const I seed = _mm512_set1_epi64(static_cast<long long>(c::seed_constant));
    return as_double(_mm512_slli_epi64(_mm512_sub_epi64(seed, quotient), 32));
}

#include "zam/simd_kernel.inl"
#undef ZAM_TARGET

}  // namespace avx512

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

std::uint64_t bits_of(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

bool same(double a, double b) {
    return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b));
}

// The arguments the check runs: the probes that tell the C library's fused exp from its unfused
// one, the band edges, special values, and a few thousand of the kernel's own arguments.
std::vector<double> exp_check_arguments() {
    std::vector<double> args = {-24.014441672988607,
                                -0.0036595391194988685,
                                0.0,
                                -0.0,
                                -0x1p-54,
                                -0x1p-60,
                                -5e-324,
                                -1e-300,
                                -511.99999999999994,
                                -512.0,
                                -700.0,
                                -745.2,
                                -1000.0,
                                511.9,
                                -INFINITY,
                                INFINITY,
                                NAN};
    std::mt19937_64 rng(0x5eed);
    std::uniform_real_distribution<double> band(-40.0, 0.0);
    std::uniform_real_distribution<double> wide(-520.0, 10.0);
    for (int k = 0; k < 3000; ++k) args.push_back(band(rng));
    for (int k = 0; k < 1000; ++k) args.push_back(wide(rng));
    return args;
}

bool exp_matches(SimdLevel level) {
    const std::vector<double> args = exp_check_arguments();
    std::vector<double> got(args.size());
    simd_exp(level, args.data(), got.data(), args.size());
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (!same(got[k], std::exp(args[k]))) return false;
    }
    return true;
}

// A small block computed by the level and, element by element, by the scalar definition.
template <CovarianceModel model>
bool kernel_matches(SimdLevel level) {
    const std::size_t width = simd_width(level);
    const std::size_t nlayers = 3, row_lines = 2, lines = 2;
    const LayerConstants constants[nlayers] = {layer_constants({0.2, 30.0, 0.0, {1, 0}}),
                                               layer_constants({0.5, 25.0, 5000.0, {0, 2}}),
                                               layer_constants({1.0, 60.0, 12000.0, {3, 3}})};
    std::mt19937_64 rng(0xc0de);
    std::uniform_real_distribution<double> pos(-5.0, 5.0);
    std::vector<Vec2D> row_points(row_lines * nlayers);
    for (Vec2D& p : row_points) p = {pos(rng), pos(rng)};
    const double row_weights[row_lines] = {0.7, -0.7};
    std::vector<double> points(lines * nlayers * 2 * width), weights(lines * width);
    for (double& p : points) p = pos(rng);
    for (double& w : weights) w = pos(rng);
    std::vector<double> out(width);
    covariance_block(level,
                     {row_points.data(), row_weights, row_lines, constants, nlayers, points.data(),
                      weights.data(), lines, out.data()},
                     model);
    for (std::size_t q = 0; q < width; ++q) {
        double total = -0.0;
        for (std::size_t a = 0; a < row_lines; ++a) {
            double inner = -0.0;
            for (std::size_t b = 0; b < lines; ++b) {
                double cov = -0.0;
                for (std::size_t l = 0; l < nlayers; ++l) {
                    const double* pb = points.data() + ((b * nlayers + l) * 2) * width;
                    cov = cov + ModelTerm<model>{}(constants[l],
                                                   row_points[a * nlayers + l].x - pb[q],
                                                   row_points[a * nlayers + l].y - pb[width + q]);
                }
                inner = inner + (cov * row_weights[a]) * weights[b * width + q];
            }
            total = total + inner;
        }
        if (!same(out[q], total)) return false;
    }
    return true;
}

// The exact shape's check arguments: the neighbourhood of every range limit, the clamps, zero,
// infinity, not a number and random arguments, shuffled and in order.
std::vector<double> shape_check_arguments() {
    std::vector<double> args = {0.0, 0x1p-300, 0x1p-1074, 746.0 * 746.0, 1e300, INFINITY, NAN};
    for (const double limit : von_karman_shape_coefficients::limits) {
        args.push_back(limit);
        for (double s = limit, t = limit, k = 0; k < 16; ++k) {
            args.push_back(s = std::nextafter(s, 0.0));
            args.push_back(t = std::nextafter(t, INFINITY));
        }
    }
    std::mt19937_64 rng(0x5ba9e);
    std::uniform_real_distribution<double> near(0.0, 16.0), far(0.0, 3000.0);
    for (int k = 0; k < 500; ++k) args.push_back(near(rng));
    for (int k = 0; k < 500; ++k) args.push_back(far(rng) * far(rng));
    // Random arguments mix ranges in each vector; sorted, most vectors lie in one range.
    std::vector<double> sorted(args.end() - 1000, args.end() - 500);
    std::sort(sorted.begin(), sorted.end());
    args.insert(args.end(), sorted.begin(), sorted.end());
    return args;
}

// The exact shape by the level and by the scalar instance.
bool shape_matches(SimdLevel level) {
    const std::vector<double> args = shape_check_arguments();
    std::vector<double> got(args.size());
    simd_von_karman_shape(level, args.data(), got.data(), args.size());
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (!same(got[k], von_karman_shape(args[k]))) return false;
    }
    return true;
}

// The scalar instance with the CPU's fused multiply-add against the one with the C library's.
__attribute__((target("fma"))) bool shape_fma_matches() {
    for (double s : shape_check_arguments()) {
        if (!same(von_karman_shape_fma(s), von_karman_shape(s))) return false;
    }
    return true;
}

// A block of Gaussian actuators sampled by the level and, one by one, by the scalar definition.
bool interaction_matches(SimdLevel level) {
    const std::size_t width = simd_width(level);
    std::mt19937_64 rng(0xfeed);
    std::uniform_real_distribution<double> pos(-2.0, 2.0), size(0.05, 1.0);
    std::vector<WeightedLine> lines(3);
    for (WeightedLine& wl : lines)
        wl = {{pos(rng), pos(rng) * 1e-4, pos(rng), pos(rng) * 1e-4}, pos(rng)};
    std::vector<double> fields(gaussian_fields * width);
    std::vector<Gaussian> actuators(width);
    for (std::size_t q = 0; q < width; ++q) {
        actuators[q] = {size(rng), {pos(rng), pos(rng), q % 2 ? 0.0 : 9000.0}, size(rng)};
        fields[gaussian_z * width + q] = actuators[q].position.z;
        fields[gaussian_x * width + q] = actuators[q].position.x;
        fields[gaussian_y * width + q] = actuators[q].position.y;
        fields[gaussian_sigma * width + q] = actuators[q].sigma;
        fields[gaussian_mpv * width + q] = actuators[q].microns_per_volt;
    }
    std::vector<double> out(width);
    interaction_block(level, {lines.data(), lines.size(), fields.data(), out.data()});
    for (std::size_t q = 0; q < width; ++q) {
        if (!same(out[q], sample(std::span<const WeightedLine>(lines), actuators[q]))) return false;
    }
    return true;
}

// The kernels of every model.
bool every_kernel_matches(SimdLevel level) {
    for (CovarianceModel model : covariance_models) {
        const bool matches = with_model(
            model, [&](auto constant) { return kernel_matches<decltype(constant)::value>(level); });
        if (!matches) return false;
    }
    return true;
}

SimdLevel checked_level() {
    for (SimdLevel level : {SimdLevel::avx512, SimdLevel::avx2}) {
        if (simd_supported(level) && exp_matches(level) && shape_matches(level) &&
            every_kernel_matches(level) && interaction_matches(level)) {
            return level;
        }
    }
    return SimdLevel::none;
}

}  // namespace

std::size_t simd_width(SimdLevel level) noexcept {
    switch (level) {
        case SimdLevel::avx2: return avx2::kWidth;
        case SimdLevel::avx512: return avx512::kWidth;
        case SimdLevel::none: break;
    }
    return 1;
}

bool simd_supported(SimdLevel level) noexcept {
    switch (level) {
        case SimdLevel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case SimdLevel::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case SimdLevel::none: break;
    }
    return true;
}

SimdLevel simd_level() {
    static const SimdLevel level = checked_level();
    return level;
}

bool fused_multiply_add_usable() {
    static const bool usable = __builtin_cpu_supports("fma") && shape_fma_matches();
    return usable;
}

void simd_exp(SimdLevel level, const double* in, double* out, std::size_t n) {
    switch (level) {
        case SimdLevel::avx2: avx2::exp_n(in, out, n); return;
        case SimdLevel::avx512: avx512::exp_n(in, out, n); return;
        case SimdLevel::none: break;
    }
    for (std::size_t k = 0; k < n; ++k) out[k] = std::exp(in[k]);
}

void simd_von_karman_shape(SimdLevel level, const double* in, double* out, std::size_t n) {
    switch (level) {
        case SimdLevel::avx2: avx2::von_karman_shape_n(in, out, n); return;
        case SimdLevel::avx512: avx512::von_karman_shape_n(in, out, n); return;
        case SimdLevel::none: break;
    }
    for (std::size_t k = 0; k < n; ++k) out[k] = von_karman_shape(in[k]);
}

void interaction_block(SimdLevel level, const ImatBlockTask& task) {
    switch (level) {
        case SimdLevel::avx2: avx2::interaction_block(task); return;
        case SimdLevel::avx512: avx512::interaction_block(task); return;
        case SimdLevel::none: break;
    }
    const double* a = task.actuators;
    const Gaussian g{
        a[gaussian_sigma], {a[gaussian_x], a[gaussian_y], a[gaussian_z]}, a[gaussian_mpv]};
    task.out[0] = sample(std::span<const WeightedLine>(task.lines, task.nlines), g);
}

namespace {

// Scalar instance: one lane, over a layer term.
template <class Term>
[[gnu::always_inline]] inline double scalar_block(const CovBlockTask& task, Term term) {
    double total = -0.0;
    for (std::size_t a = 0; a < task.row_lines; ++a) {
        double inner = -0.0;
        for (std::size_t b = 0; b < task.lines; ++b) {
            double cov = -0.0;
            for (std::size_t l = 0; l < task.nlayers; ++l) {
                const Vec2D& pa = task.row_points[a * task.nlayers + l];
                const double* pb = task.points + (b * task.nlayers + l) * 2;
                cov = cov + term(task.constants[l], pa.x - pb[0], pa.y - pb[1]);
            }
            inner = inner + (cov * task.row_weights[a]) * task.weights[b];
        }
        total = total + inner;
    }
    return total;
}

__attribute__((target("fma"))) double exact_scalar_block_fma(const CovBlockTask& task) {
    return scalar_block(task, ExactTermFma{});
}

}  // namespace

void covariance_block(SimdLevel level, const CovBlockTask& task, CovarianceModel model) {
    with_model(model, [&](auto constant) {
        constexpr CovarianceModel m = decltype(constant)::value;
        switch (level) {
            case SimdLevel::avx2: avx2::covariance_block<m>(task); return;
            case SimdLevel::avx512: avx512::covariance_block<m>(task); return;
            case SimdLevel::none: break;
        }
        if constexpr (m == CovarianceModel::exact) {
            if (fused_multiply_add_usable()) {
                task.out[0] = exact_scalar_block_fma(task);
                return;
            }
        }
        task.out[0] = scalar_block(task, ModelTerm<m>{});
    });
}

}  // namespace zam
