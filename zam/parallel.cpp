// The process-wide worker pool, and its loss in a process forked after it was created.
#include "zam/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "zam/cpus.hpp"

namespace zam {

namespace {

// Set in the child of every fork made once the pool exists (inherited by its own children).
std::atomic<bool> lost_to_fork{false};

}  // namespace

oneapi::tbb::task_arena& worker_pool() {
    // Built once, on first use, and deliberately never destroyed: it must outlive every caller,
    // including threads still running while the process exits. The calling thread joins it as one
    // of its workers while it waits.
    static auto* pool = [] {
        pthread_atfork(nullptr, nullptr,
                       [] { lost_to_fork.store(true, std::memory_order_relaxed); });
        return new oneapi::tbb::task_arena(static_cast<int>(
            std::min<std::size_t>(available_cpus(), std::numeric_limits<int>::max())));
    }();
    return *pool;
}

bool pool_lost_to_fork() noexcept {
    return lost_to_fork.load(std::memory_order_relaxed);
}

}  // namespace zam
