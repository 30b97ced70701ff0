// The Matrix interface and its parallel evaluations on the process-wide worker pool.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

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

/// What an evaluation and the thread watching it share: the rows finished so far, and the request
/// to stop.
struct Progress {
    std::atomic<std::size_t> rows_done{0};
    std::atomic<bool> cancelled{false};
};

/// True in a process forked from one whose pool already existed. The pool's workers do not survive
/// a fork and its bookkeeping (locks included) is left as it was at that instant, so such a process
/// never enters it: its evaluations run on the calling thread alone, with identical results.
bool pool_lost_to_fork() noexcept;

/// Runs `work` inside the process-wide worker pool (created on first use with one worker per CPU
/// available to the process, never reconfigured, alive until the process ends; the calling thread
/// joins it while it waits), or on the calling thread alone in a process that lost the pool to a
/// fork. A failure in any worker cancels the rest of the work and is rethrown here.
void run_on_pool(const std::function<void()>& work);

/// Runs `work` with `threads` workers and waits for it: in the process-wide pool for 0, in an
/// arena of that many workers otherwise (the calling thread among them; at most as many as the
/// pool has, one per CPU available to the process: a larger count is lowered; kept for the next
/// call of the same count, which shares it), on the
/// calling thread alone in a process that lost the pool to a fork. Failures propagate as in
/// run_on_pool.
void run_with_threads(std::size_t threads, const std::function<void()>& work);

/// Runs `work` as run_with_threads does, but on a thread of its own, while the calling thread
/// calls watch() every `interval` until the work has ended. When watch() throws, the work is
/// cancelled through `progress`, waited for, and watch()'s exception propagates; otherwise a
/// failure of the work does. A watch() that ends its thread (pthread_exit's forced unwind) stops
/// the work the same way and lets the unwind go on.
void run_watched(std::size_t threads, Progress& progress, std::chrono::milliseconds interval,
                 const std::function<void()>& work, const std::function<void()>& watch);

/// The indices [first, last) of one piece of a split loop.
struct IndexRange {
    std::size_t first;
    std::size_t last;
    std::size_t begin() const noexcept { return first; }
    std::size_t end() const noexcept { return last; }
};

namespace detail {

/// Calls piece(context, range) on sub-ranges that cover [0, n) once (see for_ranges).
void split_ranges(std::size_t n, void (*piece)(const void* context, IndexRange range),
                  const void* context);

}  // namespace detail

/// Calls body(range) on sub-ranges that cover [0, n) once: split across the pool (nested calls
/// share it), or the whole range at once on the calling thread where the pool was lost to a fork.
/// The pieces reach the body through one indirect call each, so that the pool's headers stay out
/// of every file that splits a loop.
template <class Body>
void for_ranges(std::size_t n, const Body& body) {
    detail::split_ranges(
        n,
        [](const void* context, IndexRange range) { (*static_cast<const Body*>(context))(range); },
        &body);
}

/// A matrix that fills a row's elements a block of columns at a time (each block's elements
/// exactly equal to element(i, j)).
template <class M>
concept BlockFilled = Matrix<M> && requires(const M& m, std::size_t i, std::size_t b, double* out) {
    { m.nblocks() } -> std::convertible_to<std::size_t>;
    { m.block_columns(b) } -> std::same_as<std::pair<std::size_t, std::size_t>>;
    m.fill_block(i, b, out);
};

/// The widest column block any matrix fills at once (the lanes of the widest vector level).
inline constexpr std::size_t max_block_width = 8;

/// Element type of caller-owned result storage.
enum class ElementType { float64, float32 };

/// Caller-owned storage for a whole result: element (i, j) at data + i · row_stride + j, in
/// elements of `type`; rows may be spaced apart (a view into a larger array), columns are
/// contiguous. float32 storage receives each float64 element rounded once.
struct Target {
    void* data;
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;
    ElementType type;
};

/// Fills `target` with every element of `m` (whose shape it must have), rows in parallel and,
/// nested in each row, its column blocks, inside the current arena. Every value lands in its own
/// slot, whatever the split. Once `progress.cancelled` is set, the remaining rows and blocks are
/// dropped and the storage is left partly written.
template <Matrix M>
void fill(const M& m, const Target& target, Progress& progress) {
    const std::size_t nrows = m.nrows();
    const std::size_t ncols = m.ncols();
    if (target.rows != nrows || target.cols != ncols) {
        fail_shape(nrows, ncols, target.rows, target.cols);
    }
    if (nrows == 0) return;
    if (ncols == 0) {
        progress.rows_done.fetch_add(nrows, std::memory_order_relaxed);
        return;
    }
    std::size_t units = ncols;
    if constexpr (BlockFilled<M>) units = m.nblocks();
    for_ranges(nrows, [&](const auto& rows) {
        for (std::size_t i = rows.begin(); i != rows.end(); ++i) {
            if (progress.cancelled.load(std::memory_order_relaxed)) return;
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(i) * target.row_stride;
            for_ranges(units, [&](const auto& cols) {
                if (progress.cancelled.load(std::memory_order_relaxed)) return;
                for (std::size_t b = cols.begin(); b != cols.end(); ++b) {
                    if (target.type == ElementType::float64) {
                        double* row = static_cast<double*>(target.data) + offset;
                        if constexpr (BlockFilled<M>) {
                            m.fill_block(i, b, row + m.block_columns(b).first);
                        } else {
                            row[b] = m.element(i, b);
                        }
                    } else {
                        float* row = static_cast<float*>(target.data) + offset;
                        if constexpr (BlockFilled<M>) {
                            double values[max_block_width];
                            const auto [first, last] = m.block_columns(b);
                            m.fill_block(i, b, values);
                            for (std::size_t j = first; j != last; ++j) {
                                row[j] = static_cast<float>(values[j - first]);
                            }
                        } else {
                            row[b] = static_cast<float>(m.element(i, b));
                        }
                    }
                }
            });
            progress.rows_done.fetch_add(1, std::memory_order_relaxed);
        }
    });
}

namespace detail {

// Every element into a contiguous row-major block, on the process-wide pool.
template <Matrix M>
void fill_rows(const M& m, double* out) {
    const Target target{out, m.nrows(), m.ncols(), static_cast<std::ptrdiff_t>(m.ncols()),
                        ElementType::float64};
    if (target.rows == 0 || target.cols == 0) return;
    Progress progress;
    run_on_pool([&] { fill(m, target, progress); });
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
