// The process-wide worker pool, and its loss in a process forked after it was created.
#include "zam/parallel.hpp"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "zam/cpus.hpp"

namespace zam {

namespace {

// Set in the child of every fork made once the pool (or any arena) exists; inherited by its own
// children.
std::atomic<bool> lost_to_fork{false};

// Registers the fork handler once, before the first arena starts threads.
void watch_forks() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr,
                       [] { lost_to_fork.store(true, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
}

// The pool's size: every CPU available to the process when it was first asked for.
std::size_t pool_size() {
    static const std::size_t cpus = available_cpus();
    return cpus;
}

// An arena never has more slots than the process has CPUs: oneTBB cannot honour more workers,
// and a request past its limit (65536) leaves its bookkeeping broken for the next arena.
int arena_size(std::size_t threads) {
    const std::size_t size =
        std::min({threads, pool_size(), static_cast<std::size_t>(std::numeric_limits<int>::max())});
    return static_cast<int>(size);
}

// The arena of `size` slots, made on first use and kept for the life of the process like the pool
// (sizes are at most the CPUs, so there are few): an arena made and dropped for each evaluation
// left oneTBB's memory behind, several kilobytes each time. Callers asking for the same size share
// it, each with its own work.
oneapi::tbb::task_arena& arena_of(int size) {
    static std::mutex mutex;
    static auto* arenas = new std::map<int, std::unique_ptr<oneapi::tbb::task_arena>>();
    const std::lock_guard lock(mutex);
    std::unique_ptr<oneapi::tbb::task_arena>& arena = (*arenas)[size];
    if (!arena) arena = std::make_unique<oneapi::tbb::task_arena>(size);
    return *arena;
}

// The process-wide worker pool: built once, on first use, and deliberately never destroyed: it
// must outlive every caller, including threads still running while the process exits. The calling
// thread joins it as one of its workers while it waits.
oneapi::tbb::task_arena& worker_pool() {
    static auto* pool = [] {
        watch_forks();
        return new oneapi::tbb::task_arena(arena_size(pool_size()));
    }();
    return *pool;
}

}  // namespace

void run_on_pool(const std::function<void()>& work) {
    if (pool_lost_to_fork()) {
        work();
        return;
    }
    worker_pool().execute(work);
}

namespace detail {

void split_ranges(std::size_t n, void (*piece)(const void* context, IndexRange range),
                  const void* context) {
    if (pool_lost_to_fork()) {
        piece(context, IndexRange{0, n});
        return;
    }
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n),
                              [piece, context](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                  piece(context, IndexRange{r.begin(), r.end()});
                              });
}

}  // namespace detail

void run_with_threads(std::size_t threads, const std::function<void()>& work) {
    if (threads == 0) {
        run_on_pool(work);
        return;
    }
    watch_forks();
    if (pool_lost_to_fork()) {
        work();
        return;
    }
    arena_of(arena_size(threads)).execute(work);
}

void run_watched(std::size_t threads, Progress& progress, std::chrono::milliseconds interval,
                 const std::function<void()>& work, const std::function<void()>& watch) {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::exception_ptr work_failure;
    std::thread driver([&] {
        try {
            run_with_threads(threads, work);
        } catch (...) {
            work_failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        done = true;
        ended.notify_one();
    });
    std::exception_ptr watch_failure;
    {
        std::unique_lock lock(mutex);
        while (!ended.wait_for(lock, interval, [&] { return done; })) {
            if (watch_failure) continue;  // cancelled: only wait for the workers to stop
            lock.unlock();
            try {
                watch();
            } catch (const abi::__forced_unwind&) {
                // The watching thread is being ended (pthread_exit): the unwind must go on, and
                // the driver, which refers to this frame, must have stopped before it leaves.
                progress.cancelled.store(true, std::memory_order_relaxed);
                driver.join();
                throw;
            } catch (...) {
                watch_failure = std::current_exception();
                progress.cancelled.store(true, std::memory_order_relaxed);
            }
            lock.lock();
        }
    }
    driver.join();
    if (watch_failure) std::rethrow_exception(watch_failure);
    if (work_failure) std::rethrow_exception(work_failure);
}

bool pool_lost_to_fork() noexcept {
    return lost_to_fork.load(std::memory_order_relaxed);
}

}  // namespace zam
