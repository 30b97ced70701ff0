// The process-wide worker pool.
#include "zam/linalg.hpp"

#include <algorithm>
#include <limits>

#include "zam/cpus.hpp"

namespace zam {

oneapi::tbb::task_arena& worker_pool() {
    // Built once, on first use, and deliberately never destroyed: it must outlive every caller,
    // including threads still running while the process exits. The calling thread joins it as one
    // of its workers while it waits.
    static auto* pool = new oneapi::tbb::task_arena(
        static_cast<int>(std::min<std::size_t>(available_cpus(), std::numeric_limits<int>::max())));
    return *pool;
}

}  // namespace zam
