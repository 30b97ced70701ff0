// Structured covariance against the element-wise one: direct elements bit for bit, lattice pairs
// within rounding, the same on any number of workers and in any block.
#include "zam/structured.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>

#include "tests/cpp/bits.hpp"

namespace {

using namespace zam;
constexpr double inf = std::numeric_limits<double>::infinity();

// Slopes of an n x n grid of `pitch` turned by `angle`, towards a source at `altitude` in
// direction (dx, dy): a y-slope run then an x-slope run, the grid's corners left out.
void add_sensor(std::vector<Measurement>& list, std::size_t n, double pitch, double angle,
                double dx, double dy, double altitude) {
    const double c = std::cos(angle), s = std::sin(angle);
    for (const Vec2D axis : {Vec2D{s, c}, Vec2D{c, -s}}) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                if ((i == 0 || i == n - 1) && (j == 0 || j == n - 1)) continue;
                const double x = (static_cast<double>(i) - 0.5 * static_cast<double>(n)) * pitch;
                const double y = (static_cast<double>(j) - 0.5 * static_cast<double>(n)) * pitch;
                list.push_back(SlopeTwoEdge{
                    {x * c + y * s, dx, y * c - x * s, dy}, pitch, pitch, axis, 2, altitude});
            }
        }
    }
}

// Two compatible laser-star sensors, one turned (compatible with itself only), phase samples and
// measurements of no lattice between them.
std::vector<Measurement> system_list() {
    std::vector<Measurement> list;
    add_sensor(list, 7, 0.5, 0.0, 1e-4, 0.0, 90000.0);
    list.push_back(SlopeTwoLine{{0.1, 0, 0.2, 0}, {0.3, 1e-5, 0.2, 0}});
    add_sensor(list, 7, 0.5, 0.0, -1e-4, 5e-5, 90000.0);
    list.push_back(Zero{});
    add_sensor(list, 6, 0.5, 0.3, 0.0, 0.0, inf);
    for (int k = 0; k < 30; ++k) {
        list.push_back(Phase{{0.4 * (k % 6) - 1.0, 2e-5, 0.4 * (k / 6) - 1.0, 0.0}});
    }
    list.push_back(Phase{{0.33, 0, 0.1, 0}});
    return list;
}

const VonKarmanLayers layers = {
    {0.2, 25, 0, {10, 0}}, {0.5, 40, 5000, {-5, 8}}, {0.6, 20, 12000, {20, 3}}};

std::vector<std::size_t> every(std::size_t n) {
    std::vector<std::size_t> all(n);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
}

// The matrix filled on `workers` threads.
template <class Element = double>
std::vector<Element> filled(const StructuredCovMat& m, std::size_t workers) {
    std::vector<Element> out(m.nrows() * m.ncols());
    const Target target{
        out.data(), m.nrows(), m.ncols(), static_cast<std::ptrdiff_t>(m.ncols()),
        std::is_same_v<Element, float> ? ElementType::float32 : ElementType::float64};
    Progress progress;
    run_with_threads(workers, [&] { m.fill(target, progress); });
    EXPECT_EQ(progress.rows_done.load(), m.nrows());
    return out;
}

TEST(Structured, CloseToEveryElementAndDirectOnesExactly) {
    const std::vector<Measurement> list = system_list();
    const std::size_t n = list.size();
    for (const CovarianceModel model : {CovarianceModel::closed_form, CovarianceModel::exact}) {
        for (const double lag : {0.0, 0.003}) {
            const StructuredCovMat m(list, every(n), list, every(n), layers, lag, simd_level(),
                                     model);
            EXPECT_TRUE(m.has_direct());
            const std::vector<double> got = filled(m, 1);
            const DenseMatrix want = matrix(CovMat(list, list, layers, lag, simd_level(), model));
            const ListStructure& s = m.row_structure();
            ASSERT_EQ(s.lattices.size(), 7u);  // 3 sensors x 2 axes, the phase grid
            // The largest magnitude of each pair of lattices (or of none), as the bound's scale.
            const auto group = [&](std::size_t k) { return s.sites[k].lattice + 1; };
            std::vector<double> largest(64, 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    double& l = largest[static_cast<std::size_t>(group(i) * 8 + group(j))];
                    l = std::max(l, std::fabs(want(i, j)));
                }
            }
            std::size_t tabled = 0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    const double w = want(i, j), g = got[i * n + j];
                    const std::ptrdiff_t a = s.sites[i].lattice, b = s.sites[j].lattice;
                    if (a < 0 || b < 0 ||
                        !compatible(s.lattices[static_cast<std::size_t>(a)],
                                    s.lattices[static_cast<std::size_t>(b)])) {
                        ASSERT_BITS_EQ(g, w) << i << "," << j;
                        continue;
                    }
                    ++tabled;
                    const double scale = largest[static_cast<std::size_t>(group(i) * 8 + group(j))];
                    ASSERT_LE(std::fabs(g - w), 1e-13 * scale) << i << "," << j;
                }
            }
            EXPECT_GT(tabled, n * n / 3);
        }
    }
}

TEST(Structured, SameOnAnyWorkersAndInAnyBlock) {
    const std::vector<Measurement> list = system_list();
    const std::size_t n = list.size();
    for (const CovarianceModel model : {CovarianceModel::closed_form, CovarianceModel::exact}) {
        // Without a lag, (B, A) tables are read through (A, B): a block of B's rows alone too.
        for (const double lag : {0.0, 0.001}) {
            const StructuredCovMat whole(list, every(n), list, every(n), layers, lag, simd_level(),
                                         model);
            const std::vector<double> one = filled(whole, 1);
            const std::size_t most = std::max(3u, std::thread::hardware_concurrency() + 1);
            for (std::size_t workers = 2; workers <= most; ++workers) {
                const std::vector<double> other = filled(whole, workers);
                for (std::size_t k = 0; k < one.size(); ++k) ASSERT_BITS_EQ(other[k], one[k]);
            }
            // Rows and columns chosen out of order, with repeats, from every kind of run; then
            // the rows of a later lattice against the columns of an earlier one.
            std::vector<std::size_t> rows, cols, late, early;
            for (std::size_t k = n; k-- > 0;) {
                if (k % 7 == 2) rows.push_back(k);
                if (k % 5 != 1) cols.push_back((k * 37) % n);
            }
            rows.push_back(rows.front());
            const ListStructure& s = whole.row_structure();
            for (std::size_t k = s.lattices[3].first; k < s.lattices[3].last; k += 3) {
                late.push_back(k);
            }
            for (std::size_t k = s.lattices[0].first; k < s.lattices[0].last; k += 2) {
                early.push_back(k);
            }
            for (const auto& [r, c] : {std::pair{rows, cols}, std::pair{late, early}}) {
                const StructuredCovMat block(list, r, list, c, layers, lag, simd_level(), model);
                const std::vector<float> got = filled<float>(block, 2);
                for (std::size_t i = 0; i < r.size(); ++i) {
                    for (std::size_t j = 0; j < c.size(); ++j) {
                        // float32 storage holds each float64 element rounded once.
                        ASSERT_EQ(got[i * c.size() + j], static_cast<float>(one[r[i] * n + c[j]]))
                            << i << "," << j;
                    }
                }
            }
        }
    }
}

TEST(Structured, IndicesPastTheListAndCancellation) {
    const std::vector<Measurement> list = system_list();
    const std::size_t n = list.size();
    EXPECT_THROW(StructuredCovMat(list, {0, n}, list, every(n), layers, 0.0), Failure);
    const StructuredCovMat m(list, every(n), list, every(n), layers, 0.0);
    std::vector<double> out(n * n, 7.0);
    Progress progress;
    progress.cancelled = true;
    run_with_threads(2, [&] {
        m.fill({out.data(), n, n, static_cast<std::ptrdiff_t>(n), ElementType::float64}, progress);
    });
    EXPECT_EQ(progress.rows_done.load(), 0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), 7.0), static_cast<std::ptrdiff_t>(n * n));
}

}  // namespace
