// Covariance kernel benchmark: ns per layer term against the cost of one C-library exp call, and
// the exact von Kármán model against the closed form on the same data and level.
#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "zam/covmat.hpp"
#include "zam/cpus.hpp"
#include "zam/parallel.hpp"
#include "zam/simd.hpp"

// Every operator new of the process is counted, to show what an evaluation allocates.
std::atomic<std::size_t> allocations{0};

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double median_seconds(int repeat, F&& f) {
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
        const auto start = Clock::now();
        f();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Pair {
    double first, second;
};

template <class F>
double seconds_of(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Median seconds of f and of g, run alternately `repeat` times each.
template <class F, class G>
Pair alternate_medians(int repeat, F&& f, G&& g) {
    std::vector<double> first(static_cast<std::size_t>(repeat)), second(first.size());
    for (std::size_t r = 0; r < first.size(); ++r) {
        first[r] = seconds_of(f);
        second[r] = seconds_of(g);
    }
    std::sort(first.begin(), first.end());
    std::sort(second.begin(), second.end());
    return {first[first.size() / 2], second[second.size() / 2]};
}

// One exp call per argument, independent calls (throughput, as in the kernel), arguments of the
// kernel's range.
double exp_floor_ns(int repeat) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> arg(-8.0, 0.0);
    std::vector<double> args(1 << 20), out(args.size());
    for (double& a : args) a = arg(rng);
    const double seconds = median_seconds(repeat, [&] {
        for (std::size_t k = 0; k < args.size(); ++k) out[k] = std::exp(args[k]);
    });
    volatile double sink = out[12345];
    (void)sink;
    return seconds / static_cast<double>(args.size()) * 1e9;
}

const zam::VonKarmanLayers default_layers = {
    {0.21575883, 60.0, 0.0, {10.0, 0.0}},     {0.76709884, 60.0, 1800.0, {10.0, 1.0}},
    {0.59536035, 60.0, 3300.0, {12.0, -2.0}}, {1.24070137, 60.0, 5800.0, {15.0, 5.0}},
    {1.51825277, 60.0, 7400.0, {5.0, 15.0}},  {0.75553414, 60.0, 13100.0, {22.0, 11.0}},
    {2.062782, 60.0, 15800.0, {20.0, -8.0}},
};

// Slope measurements of four sensors on a 30-arcsecond square, 90 km guide stars, 16x16 grid.
std::vector<zam::Measurement> slopes(int nsubx) {
    std::vector<zam::Measurement> ms;
    const double d = 15 * 4.848e-6;
    const double star[4][2] = {{-d, -d}, {-d, d}, {d, -d}, {d, d}};
    const double size = 8.0 / nsubx;
    for (const auto& s : star) {
        for (int axis = 0; axis < 2; ++axis) {
            for (int i = 0; i < nsubx; ++i) {
                for (int j = 0; j < nsubx; ++j) {
                    const double x = -4.0 + size * (i + 0.5), y = -4.0 + size * (j + 0.5);
                    ms.emplace_back(zam::SlopeTwoEdge{{x, s[0], y, s[1]},
                                                      size,
                                                      size,
                                                      axis ? zam::Vec2D{1, -0.0} : zam::Vec2D{0, 1},
                                                      1,
                                                      90000.0});
                }
            }
        }
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    int nsubx = 16;
    double l0 = 60.0;  // smaller outer scales move the terms' x = 2πr/l0 past 2, e.g. 10 to ~9
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--repeat")) repeat = std::stoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--nsubx")) nsubx = std::stoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--l0")) l0 = std::stod(argv[i + 1]);
    }
    zam::VonKarmanLayers layers = default_layers;
    for (zam::VonKarmanLayer& layer : layers) layer.l0 = l0;
    const double exp_ns = exp_floor_ns(repeat);
    const auto ms = slopes(nsubx);
    const double terms = static_cast<double>(ms.size()) * ms.size() * 4 * layers.size();
    const std::size_t cpus = zam::available_cpus();

    auto evaluate = [&](zam::SimdLevel level, zam::CovarianceModel model) {
        const zam::DenseMatrix m = zam::matrix(zam::CovMat(ms, ms, layers, 0.0, level, model));
        volatile double sink = m(0, 0);
        (void)sink;
    };
    auto run = [&](zam::SimdLevel level, std::size_t threads) {
        oneapi::tbb::global_control limit(oneapi::tbb::global_control::max_allowed_parallelism,
                                          threads);
        return median_seconds(repeat, [&] { evaluate(level, zam::CovarianceModel::closed_form); });
    };
    // Closed form and exact model on one thread, alternately, so that both see the same machine.
    auto run_models = [&](zam::SimdLevel level) {
        oneapi::tbb::global_control limit(oneapi::tbb::global_control::max_allowed_parallelism, 1);
        return alternate_medians(
            repeat, [&] { evaluate(level, zam::CovarianceModel::closed_form); },
            [&] { evaluate(level, zam::CovarianceModel::exact); });
    };
    const zam::SimdLevel level = zam::simd_level();
    // Allocations of one whole evaluation (the covariance matrix built beforehand): the result
    // block and nothing per element.
    std::size_t evaluation_allocations = 0;
    {
        const zam::CovMat cov(ms, ms, layers, 0.0, level);
        const std::size_t before = allocations.load();
        const zam::DenseMatrix m = zam::matrix(cov);
        evaluation_allocations = allocations.load() - before;
    }
    const char* names[] = {"none", "avx2", "avx512"};
    const double scalar_one = run(zam::SimdLevel::none, 1);
    const double scalar_all = run(zam::SimdLevel::none, cpus);
    const double vector_one = run(level, 1);
    const double vector_all = run(level, cpus);
    const Pair scalar_models = run_models(zam::SimdLevel::none);
    const Pair vector_models = run_models(level);
    const auto ns = [&](double seconds) { return seconds / terms * 1e9; };
    std::printf(
        "{\"exp_ns\": %.3f, \"elements\": %zu, \"terms\": %.0f, \"cpus\": %zu, "
        "\"level\": \"%s\", \"l0\": %g, "
        "\"scalar_one_s\": %.4f, \"scalar_one_ns_per_term\": %.3f, \"scalar_all_s\": %.4f, "
        "\"scalar_speedup\": %.3f, \"scalar_one_vs_exp\": %.3f, "
        "\"vector_one_s\": %.4f, \"vector_one_ns_per_term\": %.3f, \"vector_all_s\": %.4f, "
        "\"vector_speedup\": %.3f, \"vector_gain\": %.3f, \"evaluation_allocations\": %zu, "
        "\"scalar_closed_form_ns_per_term\": %.3f, \"scalar_exact_ns_per_term\": %.3f, "
        "\"scalar_exact_vs_closed_form\": %.3f, "
        "\"vector_closed_form_ns_per_term\": %.3f, \"vector_exact_ns_per_term\": %.3f, "
        "\"vector_exact_vs_closed_form\": %.3f}\n",
        exp_ns, ms.size() * ms.size(), terms, cpus, names[static_cast<int>(level)], l0, scalar_one,
        ns(scalar_one), scalar_all, scalar_one / scalar_all, ns(scalar_one) / exp_ns, vector_one,
        ns(vector_one), vector_all, vector_one / vector_all, scalar_one / vector_one,
        evaluation_allocations, ns(scalar_models.first), ns(scalar_models.second),
        scalar_models.second / scalar_models.first, ns(vector_models.first),
        ns(vector_models.second), vector_models.second / vector_models.first);
}
