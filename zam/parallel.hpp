// The Matrix interface and its parallel evaluations on the process-wide worker pool.
#pragma once

#include <concepts>
#include <cstddef>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "zam/dense_matrix.hpp"
#include "zam/failure.hpp"

namespace zam {

/// A lazily evaluated matrix: its shape and an element function that checks i, then j.
template <class M>
concept Matrix = requires(const M& m, std::size_t i, std::size_t j) {
    { m.nrows() } -> std::convertible_to<std::size_t>;
    { m.ncols() } -> std::convertible_to<std::size_t>;
    { m.element(i, j) } -> std::same_as<double>;
};

/// The process-wide worker pool: created on first use with one worker per CPU available to the
/// process, never reconfigured, alive until the process ends.
oneapi::tbb::task_arena& worker_pool();

/// True in a process forked from one whose pool already existed. The pool's workers do not survive
/// a fork and its bookkeeping (locks included) is left as it was at that instant, so such a process
/// never enters it: its evaluations run on the calling thread alone, with identical results.
bool pool_lost_to_fork() noexcept;

/// Runs `work` inside the worker pool and waits for it. A failure in any worker cancels the rest of
/// the work and is rethrown here.
template <class Work>
void run_on_pool(Work&& work) {
    if (pool_lost_to_fork()) {
        work();
        return;
    }
    worker_pool().execute(std::forward<Work>(work));
}

/// Calls body(range) on sub-ranges that cover [0, n) once: split across the pool (nested calls
/// share it), or the whole range at once on the calling thread where the pool was lost to a fork.
template <class Body>
void for_ranges(std::size_t n, const Body& body) {
    const oneapi::tbb::blocked_range<std::size_t> all(0, n);
    if (pool_lost_to_fork()) {
        body(all);
    } else {
        oneapi::tbb::parallel_for(all, body);
    }
}

/// A matrix that fills a row's elements a block of columns at a time (each block's elements
/// exactly equal to element(i, j)).
template <class M>
concept BlockFilled = Matrix<M> && requires(const M& m, std::size_t i, std::size_t b, double* row) {
    { m.nblocks() } -> std::convertible_to<std::size_t>;
    m.fill_block(i, b, row);
};

namespace detail {

// Rows in parallel and, nested in each row, its columns (or column blocks); every value lands in
// its own slot.
template <Matrix M>
void fill_rows(const M& m, double* out) {
    const std::size_t nrows = m.nrows();
    const std::size_t ncols = m.ncols();
    if (nrows == 0 || ncols == 0) return;
    std::size_t units = ncols;
    if constexpr (BlockFilled<M>) units = m.nblocks();
    run_on_pool([&] {
        for_ranges(nrows, [&](const auto& rows) {
            for (std::size_t i = rows.begin(); i != rows.end(); ++i) {
                double* row = out + i * ncols;
                for_ranges(units, [&](const auto& cols) {
                    for (std::size_t j = cols.begin(); j != cols.end(); ++j) {
                        if constexpr (BlockFilled<M>) {
                            m.fill_block(i, j, row);
                        } else {
                            row[j] = m.element(i, j);
                        }
                    }
                });
            }
        });
    });
}

}  // namespace detail

/// Every element, as one row-major block.
template <Matrix M>
DenseMatrix matrix(const M& m) {
    DenseMatrix result(m.nrows(), m.ncols());
    detail::fill_rows(m, result.data());
    return result;
}

/// Every element in one sequence, row after row (element (i, j) at i · ncols + j).
template <Matrix M>
std::vector<double> flat_matrix(const M& m) {
    const std::size_t count = checked_mul(m.nrows(), m.ncols());
    check_capacity<double>(count);
    std::vector<double> result(count);
    detail::fill_rows(m, result.data());
    return result;
}

/// The elements at the given (row, column) pairs, in their order; pairs may repeat. An index out of
/// range fails the whole evaluation with the index failure.
template <Matrix M>
std::vector<double> samples(const M& m, std::vector<std::pair<std::size_t, std::size_t>> indices) {
    check_capacity<double>(indices.size());
    std::vector<double> result(indices.size());
    if (indices.empty()) return result;
    run_on_pool([&] {
        for_ranges(indices.size(), [&](const auto& range) {
            for (std::size_t k = range.begin(); k != range.end(); ++k) {
                result[k] = m.element(indices[k].first, indices[k].second);
            }
        });
    });
    return result;
}

}  // namespace zam
